#!/usr/bin/python3
"""A minimal SMTP sink for the benchmark: accepts every envelope, throws the
message away, and reads DATA in large blocks so that it is not what limits a
fast sender. Listens on 127.0.0.1 only; prints "READY <port>" once it does.

    fast_sink.py [PORT]     (0 or nothing: a free port)
"""

import socket
import sys
import threading

END = b"\r\n.\r\n"
BLOCK = 1 << 20


class Conversation:
    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

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
            chunk = self.sock.recv(BLOCK)
            if not chunk:
                raise ConnectionError("peer closed in DATA")
            window = window[-(len(END) - 1):] + chunk

    def run(self):
        self.reply(b"220 fast-sink ESMTP\r\n")
        while True:
            command = self.line()
            verb = command[:4].upper()
            if verb == b"EHLO":
                self.reply(b"250-fast-sink\r\n250-8BITMIME\r\n250 PIPELINING\r\n")
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


def serve(conn):
    with conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            Conversation(conn).run()
        except (ConnectionError, OSError):
            pass


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    print("READY %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
