"""A real SMTP server for integration tests: aiosmtpd on 127.0.0.1.

Usage: smtp_server.py OUTDIR [--user NAME --password WORD] [--reject ADDRESS]
                             [--defer ADDRESS]
                             [--bind ADDRESS] [--port PORT] [--smtputf8]
                             [--oauth-token TOKEN] [--drop-after-data]

--bind takes an IPv4 or IPv6 address (default 127.0.0.1), --port a port
(default: a free one). --reject refuses a recipient with 550, --defer
with 451. --smtputf8 offers SMTPUTF8 (8BITMIME is always offered).
--oauth-token also offers XOAUTH2 and OAUTHBEARER, accepting --user with
that token. --drop-after-data closes the connection once the final "."
has come, without a reply (the message is stored all the same: the
client cannot know whether it was).

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
from base64 import b64decode

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword


class CaseInsensitiveAuthSMTP(SMTP):
    async def smtp_AUTH(self, arg):
        if arg:
            parts = arg.split()
            parts[0] = parts[0].upper()
            arg = " ".join(parts)
        return await super().smtp_AUTH(arg)


class Bearer:
    """What XOAUTH2 and OAUTHBEARER carry: a user and an OAuth token."""

    def __init__(self, login, token):
        self.login = login
        self.token = token


class OAuthSMTP(CaseInsensitiveAuthSMTP):
    """Also offers XOAUTH2 and OAUTHBEARER (RFC 7628); a wrong token is
    refused with 535 at once, without the JSON error challenge."""

    async def _bearer(self, mechanism, args, parse):
        if len(args) == 1:
            data = await self.challenge_auth("")
            if data is MISSING:
                return AuthResult(success=False)
        else:
            data = b64decode(args[1].encode())
        fields = parse(data)
        result = self._authenticate(mechanism, Bearer(fields.get(b"user", b""),
                                                      fields.get(b"auth", b"")))
        return result

    async def auth_XOAUTH2(self, _, args):
        def parse(data):
            return dict(kv.split(b"=", 1) for kv in data.split(b"\x01") if b"=" in kv)
        return await self._bearer("XOAUTH2", args, parse)

    async def auth_OAUTHBEARER(self, _, args):
        def parse(data):
            header, _, rest = data.partition(b"\x01")
            fields = dict(kv.split(b"=", 1) for kv in rest.split(b"\x01") if b"=" in kv)
            for part in header.split(b","):
                if part.startswith(b"a="):
                    fields[b"user"] = part[2:].replace(b"=2C", b",").replace(b"=3D", b"=")
            return fields
        return await self._bearer("OAUTHBEARER", args, parse)


class Store:
    def __init__(self, outdir, reject, defer=(), drop=False):
        self.drop = drop
        self.outdir = outdir
        self.count = 0
        self.reject = reject
        self.defer = defer

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.reject:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        if address in self.defer:
            return "451 4.7.1 <%s>: Recipient address deferred" % address
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
        if self.drop:
            server.transport.close()
            return "421 closing"
        return "250 2.0.0 Ok: queued as %d" % self.count


class PipeliningStore(Store):
    """Offers PIPELINING; aiosmtpd reads pipelined commands in order anyway."""

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING"] + responses[-1:]


class Server(Controller):
    def __init__(self, handler, outdir, user, password, token=None, **kw):
        self.outdir = outdir
        self.user = user
        self.password = password
        self.token = token
        self.logins = 0
        super().__init__(handler, **kw)

    def factory(self):
        kwargs = dict(self.SMTP_kwargs)
        if self.user is not None:
            kwargs.update(authenticator=self.check, auth_require_tls=False)
        kind = OAuthSMTP if self.token is not None else CaseInsensitiveAuthSMTP
        return kind(self.handler, **kwargs)

    def check(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, Bearer):
            ok = (auth_data.login.decode() == self.user
                  and auth_data.token.decode() == "Bearer " + self.token)
        else:
            ok = (isinstance(auth_data, LoginPassword)
                  and auth_data.login.decode() == self.user
                  and auth_data.password.decode() == self.password)
        if ok:
            self.logins += 1
            with open(os.path.join(self.outdir, "logins"), "w") as f:
                f.write(str(self.logins))
        # handled=False: the library then answers a refusal with 535 itself;
        # its default leaves the client waiting for a reply.
        return AuthResult(success=ok, handled=False)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("outdir")
    p.add_argument("--user")
    p.add_argument("--password", default="")
    p.add_argument("--reject", action="append", default=[])
    p.add_argument("--defer", action="append", default=[])
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--smtputf8", action="store_true")
    p.add_argument("--oauth-token")
    p.add_argument("--pipelining", action="store_true")
    p.add_argument("--drop-after-data", action="store_true")
    a = p.parse_args()
    import socket
    port = a.port
    if port == 0:
        family = socket.AF_INET6 if ":" in a.bind else socket.AF_INET
        probe = socket.socket(family)
        probe.bind((a.bind, 0))
        port = probe.getsockname()[1]
        probe.close()
    store = (PipeliningStore if a.pipelining else Store)(a.outdir, set(a.reject), set(a.defer),
                                                            a.drop_after_data)
    server = Server(store, a.outdir, a.user, a.password, a.oauth_token,
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
