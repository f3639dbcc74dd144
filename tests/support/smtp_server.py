"""A real SMTP server for integration tests: aiosmtpd on 127.0.0.1.

Usage: smtp_server.py OUTDIR [--user NAME --password WORD] [--reject ADDRESS]
                             [--bind ADDRESS] [--port PORT] [--smtputf8]

--bind takes an IPv4 or IPv6 address (default 127.0.0.1), --port a port
(default: a free one). --smtputf8 offers SMTPUTF8 (8BITMIME is always
offered).

Prints "READY <port>" on standard output once it listens on a free port,
then stores every accepted message as OUTDIR/<n>.eml (the DATA bytes as
received, dot-unstuffed) and OUTDIR/<n>.json (envelope sender, recipients,
the MAIL FROM parameters, whether the session authenticated). With --user,
OUTDIR/logins holds the number of successful logins so far. Runs until
standard input closes.

RFC 4954 makes SASL mechanism names case-insensitive; this aiosmtpd
compares them as given, so the server below upper-cases the mechanism.
Everything else about AUTH is the library's own, its AUTH LOGIN challenges
too ("User Name" and "Password", each followed by a NUL).
"""

import argparse
import json
import os
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class CaseInsensitiveAuthSMTP(SMTP):
    async def smtp_AUTH(self, arg):
        if arg:
            parts = arg.split()
            parts[0] = parts[0].upper()
            arg = " ".join(parts)
        return await super().smtp_AUTH(arg)


class Store:
    def __init__(self, outdir, reject):
        self.outdir = outdir
        self.count = 0
        self.reject = reject

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.reject:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.outdir, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".json", "w") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                       "mail_options": envelope.mail_options,
                       "authenticated": bool(session.authenticated)}, f)
        return "250 2.0.0 Ok: queued as %d" % self.count


class Server(Controller):
    def __init__(self, handler, outdir, user, password, **kw):
        self.outdir = outdir
        self.user = user
        self.password = password
        self.logins = 0
        super().__init__(handler, **kw)

    def factory(self):
        kwargs = dict(self.SMTP_kwargs)
        if self.user is not None:
            kwargs.update(authenticator=self.check, auth_require_tls=False)
        return CaseInsensitiveAuthSMTP(self.handler, **kwargs)

    def check(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login.decode() == self.user
              and auth_data.password.decode() == self.password)
        if ok:
            self.logins += 1
            with open(os.path.join(self.outdir, "logins"), "w") as f:
                f.write(str(self.logins))
        return AuthResult(success=ok)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("outdir")
    p.add_argument("--user")
    p.add_argument("--password", default="")
    p.add_argument("--reject", action="append", default=[])
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--smtputf8", action="store_true")
    a = p.parse_args()
    import socket
    port = a.port
    if port == 0:
        family = socket.AF_INET6 if ":" in a.bind else socket.AF_INET
        probe = socket.socket(family)
        probe.bind((a.bind, 0))
        port = probe.getsockname()[1]
        probe.close()
    server = Server(Store(a.outdir, set(a.reject)), a.outdir, a.user, a.password,
                    hostname=a.bind, port=port, data_size_limit=0,
                    enable_SMTPUTF8=a.smtputf8)
    server.start()
    print("READY", port, flush=True)
    try:
        sys.stdin.read()
    finally:
        server.stop()


if __name__ == "__main__":
    main()
