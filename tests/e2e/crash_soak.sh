#!/usr/bin/env bash
# Crash soak: four terminals keep requests coming while kmoclient is killed
# with SIGKILL at random moments (during gateway exchanges, local replies and
# forwarding) and started again. Afterwards every request must have had its
# reply, no authorisation number may have gone to two requests, every number a
# terminal got must be recorded (in kmoautoresp.txt or forwarded), no record
# may be doubled and no file torn. Also counted, not failed, since a kill
# between writing a reply and clearing its in-flight record can cause them:
# second replies of a request, "stale" ones (the second reply lands after the
# terminal took the first and left its next request) and records of numbers
# no terminal got ("phantom": a second kill while the request served again
# was being answered locally).
#
#   tests/e2e/crash_soak.sh BUILD_DIR [KILLS] [SEED]
#
# Everything talks to 127.0.0.1 only. A build whose connectivity probes are not
# on loopback is run inside a private network namespace (unshare -n).
set -u

BUILD=$(cd "${1:?usage: crash_soak.sh BUILD_DIR [KILLS] [SEED]}" && pwd)
KILLS=${2:-100}
SEED=${3:-$$}
CLIENT=$BUILD/bin/kmoclient
GATEWAY=$BUILD/bin/kmogateway
[ -x "$CLIENT" ] && [ -x "$GATEWAY" ] || { echo "crash soak: no kmoclient/kmogateway in $BUILD/bin" >&2; exit 2; }

probes=$(sed -n 's/^KMO_PROBE_HOSTS:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
if [ -z "${KMO_SOAK_NETNS:-}" ] && [ -n "$(tr ';' '\n' <<<"$probes" | grep -v '^127\.')" ]; then
    command -v unshare >/dev/null || { echo "crash soak: probes off loopback and no unshare" >&2; exit 2; }
    exec unshare -n env KMO_SOAK_NETNS=1 bash -c 'ip link set lo up 2>/dev/null || ifconfig lo up; exec "$0" "$@"' \
        "$0" "$BUILD" "$KILLS" "$SEED"
fi

work=$(mktemp -d /tmp/kmo_soak.XXXXXX)
root=$work/root
mkdir -p "$root"
gwpid=
cpid=
cleanup() {
    [ -n "$cpid" ] && kill -9 "$cpid" 2>/dev/null && wait "$cpid" 2>/dev/null
    [ -n "$gwpid" ] && kill "$gwpid" 2>/dev/null && wait "$gwpid" 2>/dev/null
    if [ "${KEEP:-0}" = 1 ]; then echo "crash soak: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

RANDOM=$SEED
# The gateway answers, drops the connection, or answers without F52 (the
# last two make local replies). Its answers are a list given at start-up, so
# it is started afresh, on a new port, every so many kills.
port=
start_gateway() {
    if [ -n "$gwpid" ]; then kill "$gwpid" 2>/dev/null; wait "$gwpid" 2>/dev/null; fi
    local policy=approve r
    for _ in $(seq 1 6000); do
        r=$((RANDOM % 10))
        if ((r < 6)); then policy+=,approve; elif ((r < 8)); then policy+=,close; else policy+=,no-f52; fi
    done
    : >"$work/gw.out"
    "$GATEWAY" --port 0 --bind 127.0.0.1 --policy "$policy,approve" --record "$work/packets.bin" >"$work/gw.out" 2>&1 &
    gwpid=$!
    port=
    for _ in $(seq 1 500); do
        port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/gw.out")
        [ -n "$port" ] && return 0
        sleep 0.01
    done
    echo "crash soak: the gateway did not start" >&2
    exit 2
}
start_gateway

terms=(t1 t2 t3 t4)
declare -A want       # terminal -> the sequence number of its request out
declare -A last       # terminal -> the sequence number of its last reply
seq=0
: >"$work/replies"    # "terminal sequence reply" per reply taken

drop() {
    local t=$1 g99=000020
    seq=$((seq + 1))
    ((RANDOM % 4 == 0)) && g99=000010
    printf '|G01=1234|G04=%d|G08=90|G99=%s|' "$seq" "$g99" >"$root/$t.tmp"
    mv "$root/$t.tmp" "$root/${t}in.txt"
    want[$t]=$seq
}

# Takes the replies that are there, as a terminal does, and leaves new requests.
poll() {
    local t reply
    for t in "${terms[@]}"; do
        [ -s "$root/${t}out.txt" ] || continue
        reply=$(tr -d '\r\n' <"$root/${t}out.txt")
        rm -f "$root/${t}out.txt"
        # A reply with no request out can only be a second one for the last.
        echo "$t ${want[$t]:-${last[$t]:-0}} $reply" >>"$work/replies"
        [ -n "${want[$t]}" ] && last[$t]=${want[$t]}
        want[$t]=
        [ "${1:-}" = drain ] || drop "$t"
    done
}

start_client() {
    (cd "$work" && exec "$CLIENT" -n CLI1 -r "$root" -g "127.0.0.1:$port" -T 5 -p 1 -s 5 -l "$work/client.log,1,60" \
        -t "$(IFS=,; echo "${terms[*]}")") >/dev/null 2>&1 &
    cpid=$!
}

now_ms() { date +%s%3N; }

for t in "${terms[@]}"; do drop "$t"; done
for ((k = 1; k <= KILLS; k++)); do
    ((k % 100 == 0)) && start_gateway
    start_client
    if ((k % 5 == 0)); then
        # Quiet terminals: after a second without validations the client sends
        # its heartbeat and forwards its records, and is killed in the middle.
        until=$(($(now_ms) + 1000 + RANDOM % 600))
        mode=drain
    else
        until=$(($(now_ms) + 20 + RANDOM % 300))
        mode=
    fi
    while (($(now_ms) < until)); do
        poll $mode
        sleep 0.002
    done
    for t in "${terms[@]}"; do [ -n "${want[$t]}" ] || drop "$t"; done
    kill -9 "$cpid" 2>/dev/null
    wait "$cpid" 2>/dev/null
    cpid=
done

# A last run serves what is left, then stops by the stop file.
start_client
deadline=$(($(now_ms) + 30000))
while (($(now_ms) < deadline)); do
    poll drain
    left=0
    for t in "${terms[@]}"; do [ -n "${want[$t]}" ] && left=$((left + 1)); done
    ((left == 0)) && break
    sleep 0.005
done
touch "$root/KMOCLIENTSTOP.tmp"
for _ in $(seq 1 1000); do kill -0 "$cpid" 2>/dev/null || break; sleep 0.01; done
kill -9 "$cpid" 2>/dev/null
wait "$cpid" 2>/dev/null
cpid=

# ---- the verdict -----------------------------------------------------------
lost=$left
# "terminal sequence reply": a reply whose F04 is not its request's is stale;
# local numbers go to "number sequence" lines.
awk -v numbers="$work/numbers" '
    { f04 = ""; f52 = "" }
    match($0, /[|]F04=[^|]*[|]/) { f04 = substr($0, RSTART + 5, RLENGTH - 6) }
    match($0, /[|]F52=[A-Z][0-9]+[|]/) { f52 = substr($0, RSTART + 5, RLENGTH - 6) }
    f04 != $2 { stale++ }
    length(f52) == 12 && (substr(f52, 1, 1) == "G" || substr(f52, 1, 1) == "I") { print f52, $2 > numbers }
    END { print stale + 0 }' "$work/replies" >"$work/stale"
stale=$(cat "$work/stale")
[ -f "$work/numbers" ] || : >"$work/numbers"
answered=$(wc -l <"$work/replies")
# One number, one request (the same request may get the same number twice).
repeated=$(sort -u "$work/numbers" | awk '{print $1}' | sort | uniq -d | wc -l)
again=$(sort "$work/numbers" | uniq -d | wc -l)

records=$work/kmoautoresp.txt
torn=0
for f in kmoautoresp.txt kmoautorespvalid.txt; do
    [ -f "$work/$f" ] || continue
    torn=$((torn + $(grep -cv '^|.*|$' "$work/$f")))
    [ -s "$work/$f" ] && [ "$(tail -c1 "$work/$f" | od -An -c | tr -d ' ')" != '\n' ] && torn=$((torn + 1))
done
[ ! -f "$work/nroaut.txt" ] || grep -qx '[0-9]*' "$work/nroaut.txt" || torn=$((torn + 1))
[ ! -f "$work/anio.txt" ] || grep -qx '[0-9]\{4\}' "$work/anio.txt" || torn=$((torn + 1))

# Recorded numbers: still waiting in kmoautoresp.txt, or forwarded.
{ [ -f "$records" ] && grep -o 'G52=[GI][0-9]\{11\}' "$records"
  grep -ao 'G52=[GI][0-9]\{11\}' "$work/packets.bin" | sort -u; } | sed 's/G52=//' | sort >"$work/recorded"
doubled=$([ -f "$records" ] && grep -o 'G52=[GI][0-9]\{11\}' "$records" | sort | uniq -d | wc -l || echo 0)
awk '{print $1}' "$work/numbers" | sort -u >"$work/delivered"
unrecorded=$(comm -23 "$work/delivered" <(sort -u "$work/recorded") | wc -l)
phantom=$(comm -13 "$work/delivered" <(sort -u "$work/recorded") | wc -l)
forwarded=$(grep -ao 'G52=[GI][0-9]\{11\}' "$work/packets.bin" | wc -l)

echo "crash soak: $KILLS kills (seed $SEED), $seq requests, $answered replies, $(wc -l <"$work/delivered") local numbers, $forwarded forwarded"
echo "crash soak: lost $lost, repeated numbers $repeated, torn files $torn, stale replies $stale," \
     "unrecorded $unrecorded, phantom records $phantom, doubled records $doubled, second replies $again"
if ((lost + repeated + torn + unrecorded + doubled > 0)); then
    KEEP=1
    exit 1
fi
