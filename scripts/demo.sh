#!/usr/bin/env bash
# Builds kmoclient and kmogateway, starts the gateway on loopback, starts the
# client on a demo exchange directory, drops one sample prescription for the
# terminal "caja1", prints the reply file, and stops both programs.
#   scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
build=${1:-build}

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
    apt-get update -qq && apt-get install -y -qq cmake g++ make libgtest-dev >/dev/null
fi
cmake -S . -B "$build" -DKMO_PROBE_HOSTS="127.0.0.1:18081;127.0.0.1:18082;127.0.0.1:18083" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kmoclient kmogateway >/dev/null
bin=$(cd "$build/bin" && pwd)

demo=$(mktemp -d "${TMPDIR:-/tmp}/kmodemo.XXXXXX")
mkdir -p "$demo/root"
gw_pid=""
cl_pid=""
cleanup() {
    [ -n "$cl_pid" ] && kill "$cl_pid" 2>/dev/null || true
    [ -n "$gw_pid" ] && kill "$gw_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

# The gateway picks a free port and names it on its first line.
mkfifo "$demo/gw.out"
"$bin/kmogateway" --port 0 --record "$demo/packets.bin" --log "$demo/kmogateway.log" >"$demo/gw.out" &
gw_pid=$!
exec 3<"$demo/gw.out"
read -r -t 10 line <&3 || { echo "kmogateway did not start" >&2; exit 1; }
port=${line##*:}
echo "== $line"

# The client keeps its numbering files in its working directory.
(cd "$demo" && exec "$bin/kmoclient" -n CLI1 -r "$demo/root" -g "127.0.0.1:$port" \
    -t caja1 -T 200 -l "$demo/kmoclient.log,1,80") &
cl_pid=$!

troquel="0001234 IBUPROFENO 400 MG COMP X 20      0000001500"
request="|G01=0000012345|G04=00000000000000000042|G08=0000000007|G99=000020|G06=${troquel}|"
printf '%s\r\n' "$request" >"$demo/root/caja1in.tmp"
mv "$demo/root/caja1in.tmp" "$demo/root/caja1in.txt"
echo "== request  $demo/root/caja1in.txt"
echo "$request"

for _ in $(seq 1 100); do
    [ -s "$demo/root/caja1out.txt" ] && break
    sleep 0.1
done
[ -s "$demo/root/caja1out.txt" ] || { echo "no reply within 10 s" >&2; exit 1; }
sleep 0.2
echo "== reply    $demo/root/caja1out.txt"
cat "$demo/root/caja1out.txt"; echo

touch "$demo/root/KMOCLIENTSTOP.tmp"
status=0
wait "$cl_pid" || status=$?
cl_pid=""
echo "== kmoclient stopped with status $status; its log: $demo/kmoclient.log"
grep -E 'Envio hacia|Recibio del|KMOClient_Process Exit' "$demo/kmoclient.log" | cut -f3- || true
