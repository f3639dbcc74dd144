"""A real SMTP server for integration tests: aiosmtpd on 127.0.0.1.

Usage: smtp_server.py OUTDIR [--user NAME --password WORD] [--reject ADDRESS]
                      [--smtputf8]

Prints "READY <port>" on standard output once it listens on a free port,
then stores every accepted message as OUTDIR/<n>.eml (the DATA bytes as
received, dot-unstuffed) and OUTDIR/<n>.json (envelope sender, recipients,
the MAIL FROM parameters, whether the session authenticated). Runs until
standard input closes. --smtputf8 offers SMTPUTF8 (8BITMIME is always
offered).

RFC 4954 makes SASL mechanism names case-insensitive; this aiosmtpd
compares them as given, so the server below upper-cases the mechanism. Its
AUTH LOGIN prompts are the usual "Username:" and "Password:".
"""

import argparse
import json
import os
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class CaseInsensitiveAuthSMTP(SMTP):
    # The prompts most servers send ("User Name" is this library's own).
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"

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
    def __init__(self, handler, user, password, **kw):
        self.user = user
        self.password = password
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
        return AuthResult(success=ok)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("outdir")
    p.add_argument("--user")
    p.add_argument("--password", default="")
    p.add_argument("--reject", action="append", default=[])
    p.add_argument("--smtputf8", action="store_true")
    a = p.parse_args()
    import socket
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    server = Server(Store(a.outdir, set(a.reject)), a.user, a.password,
                    hostname="127.0.0.1", port=port, data_size_limit=0,
                    enable_SMTPUTF8=a.smtputf8)
    server.start()
    print("READY", port, flush=True)
    try:
        sys.stdin.read()
    finally:
        server.stop()


if __name__ == "__main__":
    main()
