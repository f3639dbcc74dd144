#!/usr/bin/python3
"""Send benchmark: clsSendMail (through bench/send_bench) against swaks and
curl, every tool sending to the same SMTP sink on 127.0.0.1. Started by
bench/run.sh, which installs the tools, builds the driver and runs the sinks.

    bench.py run --sink NAME=PORT [--sink ...] [--tls-sink PORT --tls-ca PEM]
                 --driver PATH --work DIR [--quick]
    bench.py eml OUT BODY [ATTACHMENT]   build a message with Python's email
    bench.py raw PORT EML [--tls-ca PEM]  send EML over a bare socket (with
                                          STARTTLS to "localhost" when a CA
                                          is given)

With --tls-sink, a sink that offers STARTTLS with a certificate for
"localhost" (signed by --tls-ca), one small message and the 10 MB attachment
are sent over TLS too, by the component, kelmsend and curl --ssl-reqd.

With --kelmsend, the last section holds the start-up and TLS targets:
kelmsend against curl on fast-sink (wall-time ratios and peak-memory
differences), each pair measured in the same rounds.

Every figure is the median of several runs. Wall time is taken around the
whole process (start to exit) on the monotonic clock; peak memory is the
maximum resident set size that /usr/bin/time -f %M reports for that process,
and CPU time its user + system time, in runs of their own.
"""

import argparse
import email.policy
import os
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time
from email.message import EmailMessage

FROM = "sender@example.com"
TO = "recipient@example.com"
MB = 1000 * 1000
MIB = 1024 * 1024
SESSION_MESSAGES = 20
# Sends one after the other, each on its own connection, without the owner
# returning to an event loop: the component's peak memory must not grow.
MANY_SENDS = 5000
ATTACHMENTS = [("10 MB", 10 * MB), ("100 MB", 100 * MB)]


class ToolFailed(Exception):
    pass


# ---- message files -----------------------------------------------------------


def body_text():
    """About 1 KiB of plain text, the same body send_bench sends."""
    return "".join(
        "Line %02d of the benchmark message body, plain ASCII text......\r\n" % i
        for i in range(16)
    )


def build_eml(out, body_file, attachment=None):
    msg = EmailMessage(policy=email.policy.SMTP)
    msg["From"] = "Bench Sender <%s>" % FROM
    msg["To"] = TO
    msg["Subject"] = "Benchmark message"
    with open(body_file, encoding="ascii") as f:
        msg.set_content(f.read())
    if attachment:
        with open(attachment, "rb") as f:
            data = f.read()
        msg.add_attachment(
            data,
            maintype="application",
            subtype="octet-stream",
            filename=os.path.basename(attachment),
        )
    with open(out, "wb") as f:
        f.write(msg.as_bytes())


def random_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 4 * MIB)
            f.write(os.urandom(n))
            left -= n


# ---- bare-socket sender: how fast the sink takes DATA ------------------------


def raw_send(port, eml, tls_ca=None):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        replies = s.makefile("rb")

        def expect(prefix):
            while True:
                line = replies.readline()
                if not line:
                    raise ToolFailed("sink closed the connection")
                if line[3:4] != b"-":
                    break
            if not line.startswith(prefix):
                raise ToolFailed("sink replied %r" % line)

        expect(b"220")
        if tls_ca:
            for command, reply in [(b"EHLO bench.example\r\n", b"250"),
                                   (b"STARTTLS\r\n", b"220")]:
                s.sendall(command)
                expect(reply)
            context = ssl.create_default_context(cafile=tls_ca)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            s = context.wrap_socket(s, server_hostname="localhost")
            replies = s.makefile("rb")
        for command, reply in [
            (b"EHLO bench.example\r\n", b"250"),
            (b"MAIL FROM:<%s>\r\n" % FROM.encode(), b"250"),
            (b"RCPT TO:<%s>\r\n" % TO.encode(), b"250"),
        ]:
            s.sendall(command)
            expect(reply)
        # The file is Python's output: CRLF line ends, no line starts with ".".
        # It is read before the clock starts, so only the sink's pace counts.
        with open(eml, "rb") as f:
            data = f.read()
        start = time.perf_counter()
        s.sendall(b"DATA\r\n")
        expect(b"354")
        s.sendall(data)
        s.sendall(b".\r\n")
        expect(b"250")
        seconds = time.perf_counter() - start
        s.sendall(b"QUIT\r\n")
        expect(b"221")
    print("data_bytes=%d data_s=%.6f" % (len(data), seconds))


# ---- measuring -------------------------------------------------------------


def execute(cmd, work, wrap, timeout, stdin=None, env=None):
    out_file = os.path.join(work, "out.txt")
    err_file = os.path.join(work, "err.txt")
    with open(out_file, "wb") as out, open(err_file, "wb") as err, \
            open(stdin or os.devnull, "rb") as inp:
        # A blocking wait, bounded by a timer that kills the process: a wait
        # with a time-out polls (in steps of up to 50 ms) and would round the
        # wall times.
        start = time.perf_counter()
        proc = subprocess.Popen(wrap + cmd, stdin=inp, stdout=out, stderr=err,
                                env=dict(os.environ, **env) if env else None)
        expired = threading.Event()

        def kill():
            expired.set()
            proc.kill()

        timer = threading.Timer(timeout, kill)
        timer.start()
        rc = proc.wait()
        wall = time.perf_counter() - start
        timer.cancel()
    if expired.is_set():
        raise ToolFailed("timed out after %d s: %s" % (timeout, " ".join(cmd)))
    if rc != 0:
        with open(err_file, "rb") as f:
            err_text = f.read().decode(errors="replace")
        raise ToolFailed("exit %d: %s\n%s" % (rc, " ".join(cmd), err_text[-2000:]))
    with open(out_file, "rb") as f:
        return wall, f.read().decode(errors="replace")


def timed(cmd, work, timeout=300, stdin=None, env=None):
    """Wall seconds of one run of cmd, and what it printed."""
    return execute(cmd, work, [], timeout, stdin, env)


def resources(cmd, work, timeout=300, stdin=None, env=None):
    """Peak RSS (bytes) and CPU seconds (user + system) of one run of cmd.

    Taken by /usr/bin/time in a run of its own: the kernel counts the memory
    a process had before exec as its own, so a small parent must start it,
    and the extra process would blur the wall time of short runs."""
    usage = os.path.join(work, "usage.txt")
    execute(cmd, work, ["/usr/bin/time", "-f", "%M %U %S", "-o", usage], timeout, stdin, env)
    with open(usage) as f:
        rss_kib, user, system = f.read().split()[-3:]
    return int(rss_kib) * 1024, float(user) + float(system)


class Row:
    def __init__(self, sink, scenario, tool, note="", attachment_bytes=0):
        self.sink = sink
        self.scenario = scenario
        self.tool = tool
        self.note = note
        self.attachment_bytes = attachment_bytes
        self.walls = []
        self.outputs = []
        self.rss = []
        self.cpu = []

    @property
    def wall(self):
        return statistics.median(self.walls)

    @property
    def peak(self):
        return statistics.median(self.rss)

    @property
    def cpu_seconds(self):
        return statistics.median(self.cpu)

    @property
    def mibs(self):
        if not self.attachment_bytes:
            return None
        return self.attachment_bytes / MIB / self.wall

    def driver_field(self, key):
        """Median of a key=value figure that the program printed."""
        values = []
        for out in self.outputs:
            for pair in out.split():
                k, _, v = pair.partition("=")
                if k == key:
                    values.append(float(v))
        return statistics.median(values) if values else None


def measure_rows(rows_and_runs, work, runs, usage_runs):
    """rows_and_runs: list of (row, fn) where fn(wrap_kind) runs once.

    The tools take turns in every round, so a change in the machine's load
    falls on all of them alike."""
    for _ in range(runs):
        for row, fn in rows_and_runs:
            wall, out = fn("wall")
            row.walls.append(wall)
            row.outputs.append(out)
    for _ in range(usage_runs):
        for row, fn in rows_and_runs:
            rss, cpu = fn("usage")
            row.rss.append(rss)
            row.cpu.append(cpu)


def single(cmd, work, stdin=None, env=None):
    def fn(kind):
        if kind == "wall":
            return timed(cmd, work, stdin=stdin, env=env)
        return resources(cmd, work, stdin=stdin, env=env)
    return fn


def series(cmds, work):
    """Several processes back to back, counted as one run: summed wall and
    CPU time, the largest peak memory."""
    def fn(kind):
        results = [timed(c, work) if kind == "wall" else resources(c, work) for c in cmds]
        if kind == "wall":
            return sum(r[0] for r in results), ""
        return max(r[0] for r in results), sum(r[1] for r in results)
    return fn


# ---- the benchmark ---------------------------------------------------------


def curl_cmd(port, emls, tls_ca=None):
    cmd = ["curl", "-sS", "--mail-from", FROM, "--mail-rcpt", TO]
    host = "127.0.0.1"
    if tls_ca:
        # The certificate names "localhost"; --ssl-reqd: STARTTLS or fail.
        cmd += ["--ssl-reqd", "--cacert", tls_ca]
        host = "localhost"
    for eml in emls:
        cmd += ["--upload-file", eml, "smtp://%s:%d" % (host, port)]
    return cmd


def swaks_cmd(port, body, attachment=None):
    cmd = [
        "swaks", "--silent", "2", "--server", "127.0.0.1", "--port", str(port),
        "--from", FROM, "--to", TO, "--h-Subject", "Benchmark message",
        "--body", "@" + body,
    ]
    if attachment:
        cmd += ["--attach-type", "application/octet-stream", "--attach", "@" + attachment]
    return cmd


def kelmsend_cmd(kelmsend, port, body, attachment=None):
    """The command-line owner of the component: one process per message."""
    cmd = [kelmsend, "--server", "127.0.0.1:%d" % port, "--from", FROM, "--to", TO,
           "--subject", "Benchmark message", "--body-file", body, "--no-validate", "-q"]
    if attachment:
        cmd += ["--attach", attachment]
    return cmd


def kelmsend_tls_cmd(kelmsend, port, tls_ca, body, attachment=None):
    """kelmsend over STARTTLS to "localhost", trusting the sink's certificate."""
    cmd = kelmsend_cmd(kelmsend, port, body, attachment)
    cmd[cmd.index("--server") + 1] = "localhost:%d" % port
    return cmd + ["--tls", "starttls", "--tls-ca", tls_ca]


def kelmsend_relay_cmd(kelmsend, port, eml=None, queue=True):
    """kelmsend in sendmail mode: the finished message on standard input, as a
    file (eml None: the caller redirects it) or through a pipe from cat
    (which kelmsend copies to a temporary file before it connects). It is
    stored in the queue first (the default), or sent without it."""
    cmd = [kelmsend, "-t", "-i", "--server", "127.0.0.1:%d" % port, "--no-validate", "--quiet"]
    if not queue:
        cmd.append("--no-queue")
    if eml is None:
        return cmd
    return ["/bin/sh", "-c", 'cat "$0" | "$@"', eml] + cmd


class Files:
    """The messages and attachments every sink gets, made once."""

    def __init__(self, work, big_runs):
        self.work = work
        self.body = os.path.join(work, "body.txt")
        with open(self.body, "w", encoding="ascii", newline="") as f:
            f.write(body_text())
        self.small_eml = os.path.join(work, "small.eml")
        build_eml(self.small_eml, self.body)
        self.attachments = []
        self.build_rows = []
        for label, size in ATTACHMENTS:
            data = os.path.join(work, "attach-%d.bin" % size)
            random_file(data, size)
            eml = os.path.join(work, "attach-%d.eml" % size)
            row = Row("-", "%s attachment" % label, "python email",
                      "builds the .eml that curl sends (not timed with curl)", size)
            cmd = ["/usr/bin/python3", os.path.abspath(__file__), "eml", eml, self.body, data]
            measure_rows([(row, single(cmd, work))], work, big_runs, 1)
            self.build_rows.append(row)
            self.attachments.append((label, size, data, eml))


def run_sink(sink, port, driver, kelmsend, files, quick):
    small_runs, session_runs, big_runs = (3, 2, 1) if quick else (25, 5, 3)
    usage_small, usage_big = (1, 1) if quick else (3, 1)
    work = files.work
    body = files.body

    def drv(*args):
        return [driver, "127.0.0.1", str(port)] + list(args)

    # Warm-up: the programs and libraries into the page cache, the sink busy.
    for cmd in (drv("small"), curl_cmd(port, [files.small_eml]), swaks_cmd(port, body)):
        timed(cmd, work)

    print("%s: 1 small message" % sink, file=sys.stderr)
    scen = "1 small message"
    small = {
        "send_bench": Row(sink, scen, "send_bench", "Send"),
        "curl": Row(sink, scen, "curl"),
        "swaks": Row(sink, scen, "swaks"),
    }
    group = [
        (small["send_bench"], single(drv("small"), work)),
        (small["curl"], single(curl_cmd(port, [files.small_eml]), work)),
        (small["swaks"], single(swaks_cmd(port, body), work)),
    ]
    if kelmsend:
        # In the same rounds as curl: the targets compare the two.
        small["kelmsend"] = Row(sink, scen, "kelmsend", "whole process")
        group.append((small["kelmsend"], single(kelmsend_cmd(kelmsend, port, body), work)))
    measure_rows(group, work, small_runs, usage_small)
    extra = []

    n = SESSION_MESSAGES
    print("%s: %d messages on one session" % (sink, n), file=sys.stderr)
    scen = "%d small, one session" % n
    session = {
        "send_bench": Row(sink, scen, "send_bench", "Connect, %d x Send, Disconnect" % n),
        "curl": Row(sink, scen, "curl", "one process, %d uploads, connection reused" % n),
        "swaks": Row(sink, scen, "swaks", "no sessions: %d processes, one connection each" % n),
    }
    measure_rows([(session["send_bench"], single(drv("session", str(n)), work)),
                  (session["curl"], single(curl_cmd(port, [files.small_eml] * n), work))],
                 work, small_runs, usage_small)
    measure_rows([(session["swaks"], series([swaks_cmd(port, body)] * n, work))],
                 work, session_runs, 1)
    if kelmsend:
        row = Row(sink, scen, "kelmsend", "no sessions: %d processes, one connection each" % n)
        measure_rows([(row, series([kelmsend_cmd(kelmsend, port, body)] * n, work))], work,
                     session_runs, 1)
        extra.append(row)

    if sink == "fast-sink":
        n = MANY_SENDS
        print("%s: %d sends, a connection each" % (sink, n), file=sys.stderr)
        scen = "%d small, a connection each" % n
        session["many"] = Row(sink, scen, "send_bench",
                              "%d x Send, no event loop of the owner's between" % n)
        session["many curl"] = Row(sink, scen, "curl", "one process, %d uploads" % n)
        measure_rows([(session["many"], single(drv("sends", str(n)), work)),
                      (session["many curl"], single(curl_cmd(port, [files.small_eml] * n), work))],
                     work, 1, 1)

    rows = list(small.values()) + list(session.values()) + extra
    attach = {}
    for label, size, data, eml in files.attachments:
        print("%s: %s attachment" % (sink, label), file=sys.stderr)
        scen = "%s attachment" % label
        found = {
            "send_bench": Row(sink, scen, "send_bench", "Base64 by the component", size),
            "curl": Row(sink, scen, "curl", "sends the pre-built .eml", size),
            "swaks": Row(sink, scen, "swaks", "Base64 by swaks", size),
            "raw": Row(sink, scen, "raw socket", "", size),
        }
        raw = ["/usr/bin/python3", os.path.abspath(__file__), "raw", str(port), eml]
        group = [
            (found["send_bench"], single(drv("attach", data), work)),
            (found["curl"], single(curl_cmd(port, [eml]), work)),
            (found["swaks"], single(swaks_cmd(port, body, data), work)),
            (found["raw"], single(raw, work)),
        ]
        if kelmsend:
            found["kelmsend"] = Row(sink, scen, "kelmsend",
                                    "whole process, Base64 by the component", size)
            group.append((found["kelmsend"],
                          single(kelmsend_cmd(kelmsend, port, body, data), work)))
        measure_rows(group, work, big_runs, usage_big)
        data_mibs = os.path.getsize(eml) / MIB / found["raw"].driver_field("data_s")
        found["raw"].note = "sink check: the .eml over a bare socket, %.0f MiB/s of DATA" % data_mibs
        found["raw"].data_mibs = data_mibs
        attach[label] = found
        rows += found.values()

    relay = {}
    if kelmsend:
        # Sendmail mode: the .eml files above, relayed as they are.
        print("%s: sendmail mode" % sink, file=sys.stderr)
        big_label, _, _, big_eml = files.attachments[-1]
        big_size = os.path.getsize(big_eml)
        cases = [
            ("small", "1 small message, sendmail mode", files.small_eml, False, small_runs,
             usage_small),
            ("file", "%s attachment .eml, sendmail mode" % big_label, big_eml, False, big_runs,
             usage_big),
            ("pipe", "%s attachment .eml, sendmail mode" % big_label, big_eml, True, big_runs,
             usage_big),
        ]
        # The queue in the work folder; each message leaves it once delivered.
        env = {"XDG_STATE_HOME": os.path.join(work, "state")}
        for key, scen, eml, pipe, runs, usage_runs in cases:
            size = os.path.getsize(eml)
            note = "the .eml (%.1f MB) %s, through the queue; MiB/s of the whole message" % (
                size / MB, "piped in by cat, spooled to a temporary file" if pipe
                else "on stdin as a file")
            row = Row(sink, scen, "kelmsend -t", note, size if size > MB else 0)
            if pipe:
                fn = single(kelmsend_relay_cmd(kelmsend, port, eml), work, env=env)
            else:
                fn = single(kelmsend_relay_cmd(kelmsend, port), work, stdin=eml, env=env)
            group = [(row, fn)]
            if key == "small":
                # In the same rounds: what storing first costs.
                relay["direct"] = Row(sink, scen, "kelmsend -t --no-queue",
                                      "the .eml on stdin as a file, sent without the queue")
                group.append((relay["direct"],
                              single(kelmsend_relay_cmd(kelmsend, port, queue=False), work,
                                     stdin=eml, env=env)))
                rows.append(relay["direct"])
            measure_rows(group, work, runs, usage_runs)
            relay[key] = row
            rows.append(row)
        relay["size"] = big_size
    return rows, small, session, attach, relay


def run_tls(sink, port, tls_ca, driver, kelmsend, files, quick):
    """One small message and the 10 MB attachment over STARTTLS, by the
    component and by curl, with a bare TLS socket as the sink check."""
    small_runs, big_runs = (3, 1) if quick else (25, 3)
    usage_small, usage_big = (1, 1) if quick else (3, 1)
    work = files.work
    env = {"KELM_BENCH_TLS_CA": tls_ca}

    def drv(*args):
        return single([driver, "localhost", str(port)] + list(args), work, env=env)

    for fn in (drv("small"), single(curl_cmd(port, [files.small_eml], tls_ca), work)):
        fn("wall")

    print("%s: 1 small message over STARTTLS" % sink, file=sys.stderr)
    scen = "1 small message, STARTTLS"
    small = {
        "send_bench": Row(sink, scen, "send_bench", "Send, TLSMode 2, CA file"),
        "curl": Row(sink, scen, "curl", "--ssl-reqd --cacert"),
    }
    group = [
        (small["send_bench"], drv("small")),
        (small["curl"], single(curl_cmd(port, [files.small_eml], tls_ca), work)),
    ]
    if kelmsend:
        small["kelmsend"] = Row(sink, scen, "kelmsend", "whole process, --tls starttls --tls-ca")
        group.append((small["kelmsend"],
                      single(kelmsend_tls_cmd(kelmsend, port, tls_ca, files.body), work)))
    measure_rows(group, work, small_runs, usage_small)
    rows = list(small.values())
    attach = {}
    for label, size, data, eml in files.attachments:
        if size != 10 * MB:
            continue
        print("%s: %s attachment over STARTTLS" % (sink, label), file=sys.stderr)
        scen = "%s attachment, STARTTLS" % label
        found = {
            "send_bench": Row(sink, scen, "send_bench", "Base64 by the component", size),
            "curl": Row(sink, scen, "curl", "--ssl-reqd, sends the pre-built .eml", size),
            "raw": Row(sink, scen, "raw TLS socket", "", size),
        }
        raw = ["/usr/bin/python3", os.path.abspath(__file__), "raw", str(port), eml,
               "--tls-ca", tls_ca]
        group = [
            (found["send_bench"], drv("attach", data)),
            (found["curl"], single(curl_cmd(port, [eml], tls_ca), work)),
            (found["raw"], single(raw, work)),
        ]
        if kelmsend:
            found["kelmsend"] = Row(sink, scen, "kelmsend", "whole process, Base64 by the "
                                    "component", size)
            group.append((found["kelmsend"],
                          single(kelmsend_tls_cmd(kelmsend, port, tls_ca, files.body, data),
                                 work)))
        measure_rows(group, work, big_runs, usage_big)
        data_mibs = os.path.getsize(eml) / MIB / found["raw"].driver_field("data_s")
        found["raw"].note = "sink check: the .eml over Python's TLS, %.0f MiB/s of DATA" % (
            data_mibs)
        attach[label] = found
        rows += found.values()
    return rows, small, attach


def print_tls_figures(sink, small, attach):
    print("[%s]" % sink)
    print("  1 small message over STARTTLS, whole process: send_bench %s ms, curl %s ms; "
          "send_bench in-process Send %.3f ms" % (
              fmt_ms(small["send_bench"].wall), fmt_ms(small["curl"].wall),
              small["send_bench"].driver_field("first_ms")))
    for label, found in attach.items():
        r = found["send_bench"]
        inproc = r.driver_field("first_ms") / 1000
        print("  %s attachment over STARTTLS: send_bench %.1f MiB/s (in-process Send %.1f ms "
              "= %.1f MiB/s), curl %.1f MiB/s; peak RSS send_bench %.1f MB, curl %.1f MB" % (
                  label, r.mibs, inproc * 1000, r.attachment_bytes / MIB / inproc,
                  found["curl"].mibs, r.peak / MB, found["curl"].peak / MB))


# ---- report ------------------------------------------------------------------


def fmt_ms(seconds):
    return "%.1f" % (seconds * 1000) if seconds >= 0.1 else "%.2f" % (seconds * 1000)


def print_table(rows):
    header = ["sink", "scenario", "tool", "wall ms", "attach MiB/s", "peak RSS MB", "CPU ms",
              "note"]
    left = {0, 1, 2, 7}
    table = []
    for r in rows:
        table.append([
            r.sink, r.scenario, r.tool, fmt_ms(r.wall),
            "%.1f" % r.mibs if r.mibs is not None else "-",
            "%.1f" % (r.peak / MB), "%.0f" % (r.cpu_seconds * 1000), r.note,
        ])
    widths = [max(len(str(x[i])) for x in table + [header]) for i in range(len(header))]

    def line(cells):
        return "  ".join(str(c).ljust(w) if i in left else str(c).rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    print(line(header))
    print(line(["-" * w for w in widths]))
    previous = None
    for r, cells in zip(rows, table):
        if previous is not None and r.sink != previous:
            print()
        previous = r.sink
        print(line(cells))


def print_checks(sink, small, session, attach, relay):
    n = SESSION_MESSAGES
    print("[%s]" % sink)
    further = {t: (session[t].wall - small[t].wall) / (n - 1)
               for t in ("send_bench", "curl", "swaks")}
    print("  per further message, (%d-message wall - 1-message wall) / %d: " % (n, n - 1)
          + ", ".join("%s %.3f ms" % (t, further[t] * 1000) for t in further))
    s, ss = small["send_bench"], session["send_bench"]
    print("  send_bench in-process: Send of 1 small message %.3f ms; session: Connect %.3f ms, "
          "first Send %.3f ms, each further Send %.4f ms, Disconnect %.3f ms" % (
              s.driver_field("first_ms"), ss.driver_field("connect_ms"),
              ss.driver_field("first_ms"), ss.driver_field("further_each_ms"),
              ss.driver_field("disconnect_ms")))
    for label, found in attach.items():
        r = found["send_bench"]
        inproc = r.driver_field("first_ms") / 1000
        print("  send_bench in-process: %s attachment Send %.1f ms = %.1f MiB/s; "
              "attachment MiB per CPU second: %s" % (
                  label, inproc * 1000, r.attachment_bytes / MIB / inproc,
                  ", ".join("%s %.0f" % (t, found[t].attachment_bytes / MIB
                                         / max(found[t].cpu_seconds, 0.01))
                            for t in ("send_bench", "curl", "swaks"))))
    # The largest message gives the steadiest figure.
    capacity = attach[ATTACHMENTS[-1][0]]["raw"].data_mibs
    print("  sink check: takes %.0f MiB/s of DATA from a bare socket: %s" % (
        capacity, "at least 300 MiB/s" if capacity >= 300 else
        "BELOW 300 MiB/s, so the attachment figures measure the sink, not the senders"))

    def check(name, ok, figures):
        print("  target: %s %s (%s)" % (name, "PASS" if ok else "FAIL", figures))

    for label, found in attach.items():
        mine, sw, cu = found["send_bench"].mibs, found["swaks"].mibs, found["curl"].mibs
        check("%s attachment >= 10 x swaks MiB/s" % label, mine >= 10 * sw,
              "%.1f vs 10 x %.1f = %.1f MiB/s" % (mine, sw, 10 * sw))
        check("%s attachment >= 80 %% of curl MiB/s" % label, mine >= 0.8 * cu,
              "%.1f vs 0.8 x %.1f = %.1f MiB/s" % (mine, cu, 0.8 * cu))
    check("1 small message no slower than curl (whole process)",
          small["send_bench"].wall <= small["curl"].wall,
          "%s ms vs curl %s ms" % (fmt_ms(small["send_bench"].wall), fmt_ms(small["curl"].wall)))
    check("each further message on one session no slower than curl",
          further["send_bench"] <= further["curl"],
          "%.3f ms vs curl %.3f ms" % (further["send_bench"] * 1000, further["curl"] * 1000))
    big = attach[ATTACHMENTS[-1][0]]["send_bench"].peak
    base = small["send_bench"].peak
    check("peak RSS with the %s attachment within 16 MB of a 1 KB message" % ATTACHMENTS[-1][0],
          big - base <= 16 * MB,
          "%.1f MB vs %.1f MB: +%.1f MB" % (big / MB, base / MB, (big - base) / MB))
    if "many" in session:
        many, base = session["many"].peak, small["send_bench"].peak
        peer, peer_base = session["many curl"].peak, small["curl"].peak
        check("peak RSS after %d sends without the owner's event loop within 4 MB of one send"
              % MANY_SENDS, many - base <= 4 * MB,
              "%.1f MB vs %.1f MB: +%.1f MB; curl %d uploads %.1f MB vs 1: %.2fx" % (
                  many / MB, base / MB, (many - base) / MB, MANY_SENDS, peer / MB,
                  peer / peer_base))
    if relay:
        queued, direct = relay["small"].wall, relay["direct"].wall
        check("sendmail mode: a small message through the queue at most 5 ms more than "
              "--no-queue (whole process)", queued - direct <= 0.005,
              "%s ms vs %s ms: %+.1f ms" % (fmt_ms(queued), fmt_ms(direct),
                                            (queued - direct) * 1000))
        base = relay["small"].peak
        for key, how in (("file", "< file"), ("pipe", "from a pipe")):
            big = relay[key].peak
            check("sendmail mode: peak RSS relaying the %.0f MB message %s within 16 MB of a "
                  "small one" % (relay["size"] / MB, how),
                  big - base <= 16 * MB,
                  "%.1f MB vs %.1f MB: +%.1f MB" % (big / MB, base / MB, (big - base) / MB))


def run_bounds(kelmsend, files, quick):
    """kelmsend's dry run beside the same run handed endless input: a
    password command that never stops printing, and devices that never end
    as the password file and the configuration. Each must cost what the
    plain dry run costs; the refused ones must say no (exit 2)."""
    runs = 1 if quick else 3
    base = [kelmsend, "--dry-run", "--from", FROM, "--to", TO, "--subject", "Bounds",
            "--body-file", files.body, "--no-validate", "-q"]
    login = ["--server", "127.0.0.1:1", "--auth", "--user", "u"]

    def refused(cmd):
        return ["/bin/sh", "-c", '"$@"; [ $? -eq 2 ]', "sh"] + cmd

    cases = [
        ("plain", "dry run", single(base, files.work)),
        ("command", "dry run, --password-command yes",
         single(base + login + ["--password-command", "yes"], files.work)),
        ("file", "dry run, --password-file /dev/zero (refused)",
         single(refused(base + login + ["--password-file", "/dev/zero"]), files.work)),
        ("config", "dry run, KELMSEND_CONFIG=/dev/zero (refused)",
         single(refused(base), files.work, env={"KELMSEND_CONFIG": "/dev/zero"})),
    ]
    bounds = {key: Row("-", scen, "kelmsend") for key, scen, _ in cases}
    print("bounds: endless secrets and configuration", file=sys.stderr)
    measure_rows([(bounds[key], fn) for key, _, fn in cases], files.work, runs, runs)
    return bounds


def print_bounds(bounds):
    print("[bounds]")
    base = bounds["plain"].peak
    for key in ("command", "file", "config"):
        r = bounds[key]
        ok = r.peak - base <= 4 * MB
        print("  target: %s: peak RSS within 4 MB of the plain dry run %s (%.1f MB vs %.1f MB: "
              "%+.1f MB; %s ms)" % (r.scenario, "PASS" if ok else "FAIL", r.peak / MB, base / MB,
                                    (r.peak - base) / MB, fmt_ms(r.wall)))


def print_targets(small, attach, tls_small, tls_attach):
    """kelmsend against curl, whole processes in the same rounds on fast-sink:
    the start-up and TLS targets, as ratios of wall time and differences of
    peak memory."""
    print("targets: kelmsend against curl, whole processes, same sink, same run "
          "(wall: ours / curl; memory: ours - curl)")
    table = []

    def wall(case, ours, peer, limit=1.0):
        ratio = ours.wall / peer.wall
        table.append([case, "%s / %s ms" % (fmt_ms(ours.wall), fmt_ms(peer.wall)),
                      "%.2fx" % ratio, "<= %.1fx" % limit, "met" if ratio <= limit else "NOT MET"])

    def memory(case, ours, peer, limit_mb=None):
        extra = (ours.peak - peer.peak) / MB
        table.append([case, "%.1f / %.1f MB" % (ours.peak / MB, peer.peak / MB),
                      "%+.1f MB" % extra, "<= +%d MB" % limit_mb if limit_mb else "(none)",
                      "" if limit_mb is None else "met" if extra <= limit_mb else "NOT MET"])

    wall("small message, plain, wall", small["kelmsend"], small["curl"])
    memory("small message, plain, peak memory", small["kelmsend"], small["curl"], 3)
    for label, found in attach.items():
        wall("%s attachment, plain, wall" % label, found["kelmsend"], found["curl"])
    if tls_small:
        wall("small message, STARTTLS, wall", tls_small["kelmsend"], tls_small["curl"])
        memory("small message, STARTTLS, peak memory", tls_small["kelmsend"], tls_small["curl"])
    for label, found in (tls_attach or {}).items():
        wall("%s attachment, STARTTLS, wall" % label, found["kelmsend"], found["curl"])
        memory("%s attachment, STARTTLS, peak memory" % label, found["kelmsend"], found["curl"],
               4)
    head = ["case", "ours / curl", "ratio", "target", ""]
    widths = [max(len(x) for x in col) for col in zip(head, *table)]
    for line in [head, ["-" * w for w in widths]] + table:
        print("  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(line, widths))).rstrip())
    print("  (client turns of STARTTLS + AUTH + 2 recipients: the round-trip section below)")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("run")
    p.add_argument("--sink", action="append", required=True, metavar="NAME=PORT")
    p.add_argument("--driver", required=True)
    p.add_argument("--kelmsend", help="also measure this kelmsend executable")
    p.add_argument("--tls-sink", type=int, metavar="PORT",
                   help="a sink that offers STARTTLS with a certificate for localhost")
    p.add_argument("--tls-ca", metavar="PEM", help="the CA file that --tls-sink's certificate "
                   "is signed by")
    p.add_argument("--work", required=True)
    p.add_argument("--quick", action="store_true", help="fewer repetitions")
    p = sub.add_parser("eml")
    p.add_argument("out")
    p.add_argument("body")
    p.add_argument("attachment", nargs="?")
    p = sub.add_parser("raw")
    p.add_argument("port", type=int)
    p.add_argument("eml")
    p.add_argument("--tls-ca", metavar="PEM", help="STARTTLS, trusting this CA file")
    args = parser.parse_args()

    if args.what == "eml":
        build_eml(args.out, args.body, args.attachment)
        return 0
    if args.what == "raw":
        raw_send(args.port, args.eml, args.tls_ca)
        return 0
    if (args.tls_sink is None) != (args.tls_ca is None):
        parser.error("--tls-sink and --tls-ca go together")
    # send_bench reads the component's per-user settings from here (there
    # are none, so it runs with the defaults); giving it a folder spares
    # every run making and removing one of its own.
    config = os.path.join(args.work, "config")
    os.makedirs(config, exist_ok=True)
    os.environ["XDG_CONFIG_HOME"] = config
    try:
        print("preparing messages", file=sys.stderr)
        files = Files(args.work, 1 if args.quick else 3)
        # The files just written go to disk now, not in the middle of a
        # measurement.
        os.sync()
        results = []
        for entry in args.sink:
            name, _, port = entry.partition("=")
            results.append((name,) + run_sink(name, int(port), args.driver, args.kelmsend, files,
                                            args.quick))
        tls = None
        if args.tls_sink is not None:
            tls = ("fast-sink STARTTLS",) + run_tls("fast-sink STARTTLS", args.tls_sink,
                                                    args.tls_ca, args.driver, args.kelmsend,
                                                    files, args.quick)
        bounds = run_bounds(args.kelmsend, files, args.quick) if args.kelmsend else None
    except ToolFailed as e:
        print("bench: a send failed: %s" % e, file=sys.stderr)
        return 1
    rows = [row for result in results for row in result[1]]
    if tls:
        rows += tls[1]
    if bounds:
        rows += bounds.values()
    print_table(rows + files.build_rows)
    print()
    for name, _, small, session, attach, relay in results:
        print_checks(name, small, session, attach, relay)
    if bounds:
        print_bounds(bounds)
    if tls:
        print_tls_figures(tls[0], tls[2], tls[3])
    if args.kelmsend:
        fast = [r for r in results if r[0] == "fast-sink"] or results[-1:]
        print()
        print_targets(fast[0][2], fast[0][4], tls[2] if tls else None, tls[3] if tls else None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
