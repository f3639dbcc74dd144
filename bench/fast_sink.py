#!/usr/bin/python3
"""A minimal SMTP sink for the benchmark: accepts every envelope, throws the
message away, and reads DATA in large blocks so that it is not what limits a
fast sender. Listens on 127.0.0.1 only; prints "READY <port>" once it does.
With a certificate and key it offers STARTTLS (TLS 1.2 or newer) and takes
the rest of the session over TLS; a client that does not ask stays in clear.
With --auth-plain it offers AUTH PLAIN (after STARTTLS when it offers that)
and accepts any well-formed credentials, with the initial response on the
AUTH line or after a "334".
Pipelined commands are taken in order: the input is read as a stream.

    fast_sink.py [--tls-cert PEM --tls-key PEM] [--auth-plain] [PORT]
                                                     (0 or nothing: a free port)
"""

import argparse
import base64
import binascii
import socket
import ssl
import threading

END = b"\r\n.\r\n"
BLOCK = 1 << 20
# A TLS read returns at most one record (16 KiB): a smaller buffer spares
# allocating a large block for every record.
TLS_BLOCK = 1 << 16


class Conversation:
    def __init__(self, sock, tls_context=None, auth_plain=False):
        self.sock = sock
        self.auth_plain = auth_plain
        self.buf = b""
        self.tls_context = tls_context
        self.block = BLOCK

    def reply(self, text):
        self.sock.sendall(text)

    def line(self):
        while True:
            i = self.buf.find(b"\r\n")
            if i >= 0:
                line, self.buf = self.buf[:i], self.buf[i + 2:]
                return line
            if len(self.buf) > 65536:
                raise ConnectionError("command line too long")
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("peer closed")
            self.buf += chunk

    def data(self):
        # The message starts right after the 354 line; CRLF "." CRLF ends it.
        # A search window keeps the last bytes of the previous block, so an
        # end marker split between two reads is still found.
        window = b"\r\n" + self.buf
        while True:
            i = window.find(END)
            if i >= 0:
                self.buf = window[i + len(END):]
                return
            chunk = self.sock.recv(self.block)
            if not chunk:
                raise ConnectionError("peer closed in DATA")
            window = window[-(len(END) - 1):] + chunk

    def offers_auth(self):
        return self.auth_plain and self.tls_context is None

    def auth(self, words):
        if len(words) < 2 or words[1].upper() != b"PLAIN" or len(words) > 3:
            self.reply(b"504 Unrecognized authentication type\r\n")
            return
        if len(words) == 3:
            response = words[2]
        else:
            self.reply(b"334 \r\n")
            response = self.line().strip()
        if response == b"*":
            self.reply(b"501 Authentication cancelled\r\n")
            return
        try:
            parts = base64.b64decode(response, validate=True).split(b"\0")
        except (binascii.Error, ValueError):
            parts = []
        # authorization id, user name, password: the last two not empty.
        if len(parts) == 3 and parts[1] and parts[2]:
            self.reply(b"235 Authentication successful\r\n")
        else:
            self.reply(b"535 Authentication credentials invalid\r\n")

    def run(self):
        self.reply(b"220 fast-sink ESMTP\r\n")
        while True:
            command = self.line()
            verb = command[:4].upper()
            if verb == b"EHLO":
                starttls = b"250-STARTTLS\r\n" if self.tls_context else b""
                # Like a submission server: AUTH only once the session is
                # private (or when no TLS is on offer at all).
                auth = b"250-AUTH PLAIN\r\n" if self.offers_auth() else b""
                self.reply(b"250-fast-sink\r\n250-8BITMIME\r\n" + starttls + auth
                           + b"250 PIPELINING\r\n")
            elif verb == b"AUTH" and self.offers_auth():
                self.auth(command.split())
            elif verb == b"STAR" and command.upper() == b"STARTTLS" and self.tls_context:
                self.reply(b"220 Ready to start TLS\r\n")
                # Whatever the client sent after STARTTLS was in clear text:
                # it is dropped, and the session starts again over TLS
                # (without STARTTLS on offer).
                self.buf = b""
                self.sock = self.tls_context.wrap_socket(self.sock, server_side=True)
                self.tls_context = None
                self.block = TLS_BLOCK
            elif verb in (b"HELO", b"MAIL", b"RCPT", b"RSET", b"NOOP"):
                self.reply(b"250 Ok\r\n")
            elif verb == b"DATA":
                self.reply(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                self.data()
                self.reply(b"250 Ok: queued\r\n")
            elif verb == b"QUIT":
                self.reply(b"221 Bye\r\n")
                return
            else:
                self.reply(b"502 Command not implemented\r\n")


def serve(conn, tls_context, auth_plain):
    with conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conversation = Conversation(conn, tls_context, auth_plain)
        try:
            conversation.run()
        except (ConnectionError, OSError):
            # ssl.SSLError is an OSError: a failed handshake ends this
            # session only.
            pass
        finally:
            if conversation.sock is not conn:
                conversation.sock.close()


def main():
    parser = argparse.ArgumentParser(description="SMTP sink for the benchmark")
    parser.add_argument("--tls-cert", help="PEM certificate: offer STARTTLS")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--auth-plain", action="store_true",
                        help="offer AUTH PLAIN and accept any well-formed credentials")
    parser.add_argument("port", type=int, nargs="?", default=0)
    args = parser.parse_args()
    tls_context = None
    if args.tls_cert or args.tls_key:
        if not (args.tls_cert and args.tls_key):
            parser.error("--tls-cert and --tls-key go together")
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.minimum_version = ssl.TLSVersion.TLSv1_2
        tls_context.load_cert_chain(args.tls_cert, args.tls_key)
    port = args.port
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    print("READY %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, tls_context, args.auth_plain), daemon=True).start()


if __name__ == "__main__":
    main()
