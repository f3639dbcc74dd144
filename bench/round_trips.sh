#!/usr/bin/env bash
# Round-trip benchmark: client turns and wall time of one small message to 1,
# 2, 10 and 100 recipients over an emulated slow link (a delaying proxy on
# 127.0.0.1, 25 ms each way; the kernel here has no netem), for the component
# (bench/send_bench, with and without Pipelining), msmtp, swaks --pipeline
# and curl, and one STARTTLS + AUTH PLAIN submission. Sinks: bench/fast_sink.py
# in clear text, and with STARTTLS (a throw-away certificate for "localhost")
# and AUTH PLAIN. Installs the tools it needs, builds the driver in build/
# (release) unless given one. Called by bench/run.sh; runs on its own too.
#
#   bench/round_trips.sh [--quick] [--driver PATH]
#
# Exits 0 when every send succeeded (whether or not the targets are met).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=()
driver=
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=(--quick); shift ;;
        --driver) driver=$(realpath "${2:?--driver needs a path}"); shift 2 ;;
        *) echo "usage: $0 [--quick] [--driver PATH]" >&2; exit 2 ;;
    esac
done

need=()
command -v msmtp >/dev/null || need+=(msmtp)
command -v swaks >/dev/null || need+=(swaks)
command -v curl >/dev/null || need+=(curl)
command -v openssl >/dev/null || need+=(openssl)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -q --no-install-recommends "${need[@]}" >&2
fi

if [ -z "$driver" ]; then
    if [ ! -f build/build.ninja ]; then
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
    fi
    cmake --build build --target send_bench -j"$(nproc)" >&2
    driver=$root/build/bench/send_bench
fi
[ -x "$driver" ] || { echo "no driver at $driver" >&2; exit 1; }

work=$(mktemp -d /tmp/kelm-rt.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_sink OUT ARGS...: runs fast_sink.py, prints its port once it listens.
start_sink() {
    local out=$1
    shift
    : >"$out"
    /usr/bin/python3 bench/fast_sink.py "$@" >"$out" &
    pids+=($!)
    local port=
    for _ in $(seq 100); do
        port=$(awk '/^READY/ {print $2}' "$out" || true)
        [ -n "$port" ] && { echo "$port"; return 0; }
        kill -0 "${pids[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    echo "fast_sink.py $* did not start" >&2
    return 1
}

mkdir "$work/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
# Not in a command substitution: the sink must stay a child of this shell so
# that cleanup can stop it.
start_sink "$work/sink.out" >/dev/null
sink_port=$(awk '/^READY/ {print $2}' "$work/sink.out")
start_sink "$work/tls_sink.out" --tls-cert "$work/tls/cert.pem" --tls-key "$work/tls/key.pem" \
    --auth-plain >/dev/null
tls_port=$(awk '/^READY/ {print $2}' "$work/tls_sink.out")

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"
echo "driver: $driver"
echo "peers: $(msmtp --version | head -1); $(curl --version | head -1 | cut -d' ' -f1-2); swaks $(swaks --version | head -1 | awk '{print $3}')"
/usr/bin/python3 bench/round_trips.py --sink "$sink_port" --tls-sink "$tls_port" \
    --tls-ca "$work/tls/cert.pem" --driver "$driver" --work "$work" "${quick[@]}"
