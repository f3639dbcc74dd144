#!/usr/bin/python3
"""An emulated slow link for the round-trip benchmark: a TCP proxy on
127.0.0.1 that forwards every connection to a server on 127.0.0.1 and holds
the bytes of each direction for a fixed delay (25 ms each way: a 50 ms round
trip). The kernel here has no netem, so the delay is made in user space.

It counts the client's turns on every connection: a turn is a burst of
client bytes that follows server bytes the client has been given. The first
client write after the greeting is turn 1; a client that writes several
commands before it reads a reply spends one turn on all of them.

    slow_proxy.py TARGET_PORT [--delay-ms 25] [--port 0]

prints "READY <port>", then one line per finished connection:
"CONNECTION <n> turns=<t> client_bytes=<c> server_bytes=<s>".
bench/round_trips.py runs the same class in its own process.
"""

import argparse
import asyncio
import threading
import time

BLOCK = 1 << 16


class Connection:
    def __init__(self, number):
        self.number = number
        self.turns = 0
        self.client_bytes = 0
        self.server_bytes = 0
        # Set when server bytes have been handed to the client, cleared by
        # the client's next write: that write starts a turn.
        self.answered = False

    def line(self):
        return "CONNECTION %d turns=%d client_bytes=%d server_bytes=%d" % (
            self.number, self.turns, self.client_bytes, self.server_bytes)


class SlowProxy:
    """Runs on an asyncio loop of its own in a background thread."""

    def __init__(self, target_port, delay, port=0, on_done=None):
        self.target_port = target_port
        self.delay = delay
        self.port = port
        self.on_done = on_done
        self.loop = None
        self.count = 0
        self.open = 0
        self.finished = []
        self.lock = threading.Lock()
        self.ready = threading.Event()

    # ---- the thread's side ---------------------------------------------------

    async def pump(self, reader, writer, connection, from_client):
        """Reads one direction and hands each chunk on after the delay.

        A queue keeps the order: the reader stamps every chunk with its due
        time, the sender sleeps until then."""
        queue = asyncio.Queue()

        async def read():
            while True:
                chunk = await reader.read(BLOCK)
                if from_client and chunk:
                    connection.client_bytes += len(chunk)
                    if connection.answered:
                        connection.answered = False
                        connection.turns += 1
                queue.put_nowait((time.monotonic() + self.delay, chunk))
                if not chunk:
                    return

        async def send():
            while True:
                due, chunk = await queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not chunk:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(chunk)
                await writer.drain()
                if not from_client:
                    connection.server_bytes += len(chunk)
                    connection.answered = True

        await asyncio.gather(read(), send())

    async def handle(self, client_reader, client_writer):
        with self.lock:
            self.count += 1
            self.open += 1
            connection = Connection(self.count)
        server_writer = None
        try:
            # The client's opening reaches the server one delay later.
            await asyncio.sleep(self.delay)
            server_reader, server_writer = await asyncio.open_connection(
                "127.0.0.1", self.target_port)
            await asyncio.gather(
                self.pump(client_reader, server_writer, connection, True),
                self.pump(server_reader, client_writer, connection, False))
        except (ConnectionError, OSError):
            pass
        finally:
            for w in (client_writer, server_writer):
                if w is not None:
                    w.close()
            with self.lock:
                self.open -= 1
                self.finished.append(connection)
            if self.on_done:
                self.on_done(connection)

    async def serve(self):
        server = await asyncio.start_server(self.handle, "127.0.0.1", self.port)
        self.port = server.sockets[0].getsockname()[1]
        self.ready.set()
        async with server:
            await server.serve_forever()

    # ---- the caller's side ---------------------------------------------------

    def start(self):
        def run():
            self.loop = asyncio.new_event_loop()
            self.loop.run_until_complete(self.serve())

        threading.Thread(target=run, daemon=True).start()
        if not self.ready.wait(10):
            raise RuntimeError("the proxy did not start")
        return self.port

    def take(self, expected, timeout=10.0):
        """The connections finished since the last call, once `expected` of
        them have finished and none is open (bounded by `timeout`)."""
        end = time.monotonic() + timeout
        while True:
            with self.lock:
                if len(self.finished) >= expected and self.open == 0:
                    done, self.finished = self.finished, []
                    return done
            if time.monotonic() > end:
                raise RuntimeError("the proxy still has %d connection(s) open" % self.open)
            time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description="delaying TCP proxy on 127.0.0.1")
    parser.add_argument("target_port", type=int)
    parser.add_argument("--delay-ms", type=float, default=25.0, help="each way")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    proxy = SlowProxy(args.target_port, args.delay_ms / 1000.0, args.port,
                      on_done=lambda c: print(c.line(), flush=True))
    print("READY %d" % proxy.start(), flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
