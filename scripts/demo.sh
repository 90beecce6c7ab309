#!/usr/bin/env bash
# Builds kmoclient, kmogateway and kmoterminal, starts the gateway on loopback,
# starts the client on a demo exchange directory, submits one sample
# prescription for the terminal "caja1" with kmoterminal, prints the reply, and
# stops both programs. Everything it creates is removed at the end.
#   scripts/demo.sh [BUILD_DIR]      (default build-demo/, never build/)
# KMO_DEMO_KEEP=1 keeps the demo directory (logs, packets) and names it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-demo}

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
    echo "== installing the build tools (cmake, g++)"
    apt-get update -qq && apt-get install -y -qq cmake g++ make >/dev/null
fi
echo "== build $build (kmoclient, kmogateway, kmoterminal)"
# Loopback probes: a demo never reaches outside this machine.
cmake -S . -B "$build" -DKMO_BUILD_TESTS=OFF \
    -DKMO_PROBE_HOSTS="127.0.0.1:18081;127.0.0.1:18082;127.0.0.1:18083" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kmoclient kmogateway kmoterminal
bin=$(cd "$build/bin" && pwd)

demo=$(mktemp -d "${TMPDIR:-/tmp}/kmodemo.XXXXXX")
mkdir -p "$demo/root" "$demo/work"
gw_pid=""
cl_pid=""
cleanup() {
    [ -n "$cl_pid" ] && kill "$cl_pid" 2>/dev/null || true
    [ -n "$gw_pid" ] && kill "$gw_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    if [ "${KMO_DEMO_KEEP:-0}" = 1 ]; then
        echo "== kept $demo"
    else
        rm -rf "$demo"
    fi
}
trap cleanup EXIT

# The gateway picks a free port and names it on its first line.
mkfifo "$demo/gw.out"
"$bin/kmogateway" --port 0 --record "$demo/packets.bin" --log "$demo/kmogateway.log" >"$demo/gw.out" &
gw_pid=$!
exec 3<"$demo/gw.out"
read -r -t 10 line <&3 || { echo "kmogateway did not start" >&2; exit 1; }
port=${line##*:}
echo "== kmogateway $line"

# The client keeps its numbering files in its working directory; -w 1 picks
# a request up as soon as it appears.
echo "== kmoclient"
(cd "$demo/work" && exec "$bin/kmoclient" -n CLI1 -r "$demo/root" -g "127.0.0.1:$port" \
    -t caja1 -T 60000 -w 1 -l "$demo/kmoclient.log,1,80") &
cl_pid=$!

troquel="0001234 IBUPROFENO 400 MG COMP X 20      0000001500"
request="|G01=0000012345|G04=00000000000000000042|G08=0000000007|G99=000020|G06=${troquel}|"
echo "== request  (kmoterminal $demo/root caja1 ...)"
echo "$request"
echo "== reply"
status=0
"$bin/kmoterminal" --timeout 10 "$demo/root" caja1 "$request" || status=$?
echo "== kmoterminal exit status $status (0 approved)"

touch "$demo/root/KMOCLIENTSTOP.tmp"
status=0
wait "$cl_pid" || status=$?
cl_pid=""
echo "== kmoclient stopped with status $status; from its log:"
grep -E 'Envio hacia|Recibio del|KMOClient_Process Exit' "$demo/kmoclient.log" | cut -f3- || true
