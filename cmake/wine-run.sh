#!/bin/sh
# Runs a Windows program under Wine, headless, in a Wine prefix of its own:
#   wine-run.sh PREFIX_DIR PROGRAM.exe [arguments...]
# The prefix is made on first use (once, even when tests start side by side).
# The cross build's ctest runs every test program through this script.
set -e
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts: nothing here needs them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            "$wine" wineboot -i >/dev/null 2>&1 || true
            wineserver -w 2>/dev/null || true
        fi
    ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
