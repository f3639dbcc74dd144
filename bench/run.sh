#!/usr/bin/env bash
# Send benchmark: the mail component (bench/send_bench) against swaks and curl,
# each scenario sent by every tool to the same sink on 127.0.0.1, and a table
# of the results. Two sinks, one after the other: Postfix's smtp-sink, and
# bench/fast_sink.py, which reads DATA in large blocks (smtp-sink handles it
# line by line and, on a small machine, takes less DATA per second than a
# fast sender produces). kelmsend is measured too, composing (as a whole
# process beside swaks) and in sendmail mode, relaying the .eml files as they
# are from standard input (as a file and through a pipe), with a check that
# its peak memory does not grow with the message. A third sink, fast_sink.py
# offering STARTTLS with a throw-away self-signed certificate for "localhost"
# (made with openssl at start), takes one small message and the 10 MB
# attachment over TLS from the component and from curl --ssl-reqd. Last,
# bench/round_trips.sh: client turns and wall time over an emulated slow link
# (a delaying proxy, 50 ms round trip) beside msmtp, swaks and curl. Installs
# the tools it needs, builds the driver in build/ (release), starts and stops
# the sinks itself. Not part of the test suite.
#
#   bench/run.sh                    full run (under two minutes here)
#   bench/run.sh --quick            fewer repetitions
#   bench/run.sh --driver PATH      measure another build of send_bench
#
# Exits 0 when every send succeeded (whether or not the targets are met),
# non-zero when a tool or a send failed.
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

# ---- tools -------------------------------------------------------------------
need=()
[ -x /usr/sbin/smtp-sink ] || need+=(postfix)
command -v swaks >/dev/null || need+=(swaks)
command -v curl >/dev/null || need+=(curl)
[ -x /usr/bin/time ] || need+=(time)
command -v openssl >/dev/null || need+=(openssl)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}" >&2
    # Only the sink program is used: the mail system itself stays
    # unconfigured and is never started.
    echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -q --no-install-recommends "${need[@]}" >&2
fi

# ---- driver --------------------------------------------------------------------
if [ -z "$driver" ]; then
    if [ ! -f build/build.ninja ]; then
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
    fi
    cmake --build build --target send_bench kelmsend -j"$(nproc)" >&2
    driver=$root/build/bench/send_bench
fi
[ -x "$driver" ] || { echo "no driver at $driver" >&2; exit 1; }
# The command-line owner is measured too, as whole processes beside swaks.
kelmsend=$root/build/cli/kelmsend
kelmsend_args=()
[ -x "$kelmsend" ] && kelmsend_args=(--kelmsend "$kelmsend")

# ---- sink ----------------------------------------------------------------------
work=$(mktemp -d /tmp/kelm-bench.XXXXXX)
chmod 755 "$work"
sink_pid=
fast_pid=
tls_pid=
cleanup() {
    for pid in $sink_pid $fast_pid $tls_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# -u: the sink drops root once it listens; 64: listen backlog.
/usr/sbin/smtp-sink -u nobody "127.0.0.1:$port" 64 &
sink_pid=$!
for _ in $(seq 100); do
    if /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 1).close()" 2>/dev/null; then
        break
    fi
    kill -0 "$sink_pid" 2>/dev/null || { echo "smtp-sink did not start" >&2; exit 1; }
    sleep 0.1
done

: >"$work/fast_sink.out"
/usr/bin/python3 bench/fast_sink.py >"$work/fast_sink.out" &
fast_pid=$!
fast_port=
for _ in $(seq 100); do
    fast_port=$(awk '/^READY/ {print $2}' "$work/fast_sink.out" || true)
    [ -n "$fast_port" ] && break
    kill -0 "$fast_pid" 2>/dev/null || { echo "fast_sink.py did not start" >&2; exit 1; }
    sleep 0.1
done
[ -n "$fast_port" ] || { echo "fast_sink.py did not start" >&2; exit 1; }

# The STARTTLS sink: its certificate is also the CA file the clients trust.
mkdir "$work/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
: >"$work/tls_sink.out"
/usr/bin/python3 bench/fast_sink.py --tls-cert "$work/tls/cert.pem" --tls-key "$work/tls/key.pem" \
    >"$work/tls_sink.out" &
tls_pid=$!
tls_port=
for _ in $(seq 100); do
    tls_port=$(awk '/^READY/ {print $2}' "$work/tls_sink.out" || true)
    [ -n "$tls_port" ] && break
    kill -0 "$tls_pid" 2>/dev/null || { echo "fast_sink.py --tls-cert did not start" >&2; exit 1; }
    sleep 0.1
done
[ -n "$tls_port" ] || { echo "fast_sink.py --tls-cert did not start" >&2; exit 1; }

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"
echo "driver: $driver"
echo "sinks: smtp-sink on 127.0.0.1:$port, fast_sink.py on 127.0.0.1:$fast_port, with STARTTLS on localhost:$tls_port; $(curl --version | head -1 | cut -d' ' -f1-2); swaks $(swaks --version | head -1 | awk '{print $3}')"
echo "wall: whole process, start to exit, median; peak RSS and CPU (user+system): /usr/bin/time"
echo "of the process, in separate runs; MB = 10^6 bytes, MiB = 2^20 bytes"
echo
/usr/bin/python3 bench/bench.py run --sink "smtp-sink=$port" --sink "fast-sink=$fast_port" --tls-sink "$tls_port" --tls-ca "$work/tls/cert.pem" \
    --driver "$driver" "${kelmsend_args[@]}" --work "$work" "${quick[@]}"
echo
echo "machine: load average $(cut -d' ' -f1-3 /proc/loadavg) at end"
echo
# The round-trip section starts its own sinks and proxy.
bash bench/round_trips.sh --driver "$driver" "${quick[@]}"
