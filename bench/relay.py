#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that holds every chunk it forwards for a fixed
delay, in both directions, to give the FTP control connection a round trip
like a distant server's. This kernel has no netem, so the delay is added here.

Usage: relay.py --to PORT --delay-ms MS [--port PORT]
Prints the port it listens on as its first line, then serves until killed.

Each chunk is sent MS milliseconds after it arrived, not MS after the previous
one, so the relay adds latency without capping the rate. Only the control
connection goes through it: in active mode the server opens the data
connections straight to the client.
"""
import argparse
import collections
import socket
import sys
import threading
import time


def pump(source, sink, delay):
    """Copies source to sink, each chunk `delay` seconds late; EOF goes on late too."""
    queue = collections.deque()
    ready = threading.Condition()

    def reader():
        while True:
            try:
                chunk = source.recv(65536)
            except OSError:
                chunk = b""
            with ready:
                queue.append((time.monotonic() + delay, chunk))
                ready.notify()
            if not chunk:
                return

    def writer():
        while True:
            with ready:
                while not queue:
                    ready.wait()
                due, chunk = queue.popleft()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not chunk:
                    sink.shutdown(socket.SHUT_WR)
                    return
                sink.sendall(chunk)
            except OSError:
                # The far side is gone; stop reading this side as well.
                try:
                    source.shutdown(socket.SHUT_RD)
                except OSError:
                    pass
                return

    threads = [threading.Thread(target=reader, daemon=True), threading.Thread(target=writer, daemon=True)]
    for t in threads:
        t.start()
    return threads


def serve(client, target_port, delay):
    try:
        upstream = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        client.close()
        return
    # FTP replies and commands are small writes; without NODELAY a delayed ACK
    # would add up to 40 ms on top of the wanted delay.
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threads = pump(client, upstream, delay) + pump(upstream, client, delay)
    for t in threads:
        t.join()
    client.close()
    upstream.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--to", type=int, required=True, help="port of the server on 127.0.0.1")
    parser.add_argument("--delay-ms", type=float, required=True, help="delay of each chunk, each way")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free one)")
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(64)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, args.to, args.delay_ms / 1000), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
