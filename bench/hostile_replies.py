#!/usr/bin/python3
"""Memory benchmark: one Send (bench/send_bench, mode "outcome") against
servers on 127.0.0.1 whose replies never end, beside the same Send against a
server that behaves. Prints, per case, the median peak resident set size of
the sending process (getrusage of that process, in separate runs), how many
SendSuccesful and SendFailed it raised and the length of the longest failure
text, and checks the targets: every hostile case within 16 MB of the normal
send, one failure, no failure text longer than 64 KiB plus the cut marker.

    bench/hostile_replies.py [--driver PATH] [--runs N]

Builds build/bench/send_bench (release) when no driver is given. Exits 0 when
every target is met, 1 otherwise. Not part of the test suite.
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import threading

MB = 1000 * 1000
MAX_REPLY = 64 * 1024
MARKER = len(" [reply cut at 65536 bytes]")
BLOCK = 64 * 1024


def read_line(sock, buf):
    while b"\r\n" not in buf[0]:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buf[0] += chunk
    line, buf[0] = buf[0].split(b"\r\n", 1)
    return line


def flood(sock, unit):
    block = unit * (BLOCK // len(unit) + 1)
    while True:
        sock.sendall(block)


def normal(sock, buf):
    sock.sendall(b"220 bench ready\r\n")
    while True:
        line = read_line(sock, buf).upper()
        if line.startswith(b"DATA"):
            sock.sendall(b"354 go ahead\r\n")
            while b"\r\n.\r\n" not in buf[0]:
                chunk = sock.recv(65536)
                if not chunk:
                    return
                buf[0] += chunk
            buf[0] = buf[0].split(b"\r\n.\r\n", 1)[1]
            sock.sendall(b"250 queued\r\n")
        elif line.startswith(b"QUIT"):
            sock.sendall(b"221 bye\r\n")
            return
        else:
            sock.sendall(b"250 ok\r\n")


def endless_line(sock, buf):
    sock.sendall(b"220 ")
    flood(sock, b"x")


def endless_multiline(sock, buf):
    sock.sendall(b"220 bench ready\r\n")
    read_line(sock, buf)
    flood(sock, b"250-more of the same\r\n")


def nul_line(sock, buf):
    sock.sendall(b"\0" * (1 << 20) + b"\r\n")
    while True:
        if read_line(sock, buf).upper().startswith(b"QUIT"):
            sock.sendall(b"221 bye\r\n")
            return


CASES = [
    ("normal send", normal),
    ("endless line", endless_line),
    ("endless multi-line", endless_multiline),
    ("1 MiB of NUL bytes", nul_line),
]


class Server:
    def __init__(self, play):
        self.play = play
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.talk, args=(conn,), daemon=True).start()

    def talk(self, conn):
        try:
            self.play(conn, [b""])
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.listener.close()


def run_once(driver, port):
    out = subprocess.run([driver, "127.0.0.1", str(port), "outcome"], capture_output=True,
                         text=True, timeout=120)
    if out.returncode != 0:
        raise RuntimeError("driver failed: " + out.stderr)
    return dict(kv.split("=", 1) for kv in out.stdout.split())


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser()
    p.add_argument("--driver")
    p.add_argument("--runs", type=int, default=5)
    a = p.parse_args()
    driver = a.driver
    if not driver:
        build = os.path.join(root, "build")
        if not os.path.exists(os.path.join(build, "build.ninja")):
            subprocess.run(["cmake", "-S", root, "-B", build, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True,
                           stdout=sys.stderr)
        subprocess.run(["cmake", "--build", build, "--target", "send_bench"], check=True,
                       stdout=sys.stderr)
        driver = os.path.join(build, "bench", "send_bench")

    print("machine: %d cores, load average %.2f %.2f %.2f" % ((os.cpu_count(),) + os.getloadavg()))
    print("driver: %s; %d runs per case; peak RSS = getrusage(RUSAGE_SELF).ru_maxrss of the"
          " sending process, median; MB = 10^6 bytes" % (driver, a.runs))
    print()
    print("%-20s %10s %10s %9s %9s %16s %9s" % ("case", "peak RSS", "vs normal", "successes",
                                                 "failures", "longest failure", "wall"))
    ok = True
    baseline = None
    for name, play in CASES:
        server = Server(play)
        runs = [run_once(driver, server.port) for _ in range(a.runs)]
        server.close()
        rss = statistics.median(int(r["maxrss_kb"]) * 1024 for r in runs)
        wall = statistics.median(float(r["total_ms"]) for r in runs)
        successes = {int(r["successes"]) for r in runs}
        failures = {int(r["failures"]) for r in runs}
        longest = max(int(r["longest_failure"]) for r in runs)
        if baseline is None:
            baseline = rss
            expected = successes == {1} and failures == {0}
            delta = "-"
        else:
            expected = (successes == {0} and failures == {1} and rss - baseline <= 16 * MB
                        and longest <= MAX_REPLY + MARKER)
            delta = "%+.1f MB" % ((rss - baseline) / MB)
        ok = ok and expected
        print("%-20s %7.1f MB %10s %9s %9s %16d %7.0f ms %s" % (
            name, rss / MB, delta, "/".join(map(str, sorted(successes))),
            "/".join(map(str, sorted(failures))), longest, wall, "" if expected else "MISSED"))
    print()
    print("targets: hostile cases within 16 MB of the normal send, one failure, failure text"
          " at most %d characters: %s" % (MAX_REPLY + MARKER, "met" if ok else "MISSED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
