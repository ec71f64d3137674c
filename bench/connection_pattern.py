#!/usr/bin/env python3
"""Times what a server does for clients that come one at a time, as a browser's connections
do: each connection sends REQUESTS requests for PATH, PAUSE_MS apart, and closes 2 ms after
the last answer; the next connection comes 2 ms later. The servers (given by port, with the
pid whose CPU is counted) take turns connection by connection. Prints, per server, the median
and 90th percentile from a connection's first request sent to its answer, the same for the
requests after the first, and the server's CPU per connection (user and system time of the
whole process, from /proc).

  python3 bench/connection_pattern.py [--connections N] [--requests R] [--pause-ms P]
      [--path /1k.txt] PORT:PID [PORT:PID ...]
"""
import argparse
import os
import socket
import statistics
import time


def cpu_seconds(pid):
    """The process's user and system time so far, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def read_answer(sock):
    """Reads one answer to a GET with a Content-Length; raises when the server closes early."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed before the head ended")
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = next(int(line.split(b":", 1)[1]) for line in head.lower().split(b"\r\n")
                  if line.startswith(b"content-length:"))
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed before the body ended")
        body += chunk


def one_connection(port, options, first, later):
    """Runs one connection's requests, appending their times in microseconds."""
    request = f"GET {options.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode()
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for number in range(options.requests):
            if number:
                time.sleep(options.pause_ms / 1000)
            began = time.perf_counter()
            sock.sendall(request)
            read_answer(sock)
            (later if number else first).append((time.perf_counter() - began) * 1e6)
        time.sleep(0.002)
    time.sleep(0.002)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--connections", type=int, default=500)
    parser.add_argument("--requests", type=int, default=3)
    parser.add_argument("--pause-ms", type=float, default=0.5)
    parser.add_argument("--path", default="/1k.txt")
    parser.add_argument("servers", nargs="+", help="PORT:PID")
    options = parser.parse_args()
    servers = [tuple(map(int, s.split(":"))) for s in options.servers]
    first = {port: [] for port, _ in servers}
    later = {port: [] for port, _ in servers}
    cpu = {port: 0.0 for port, _ in servers}
    for _ in range(options.connections):
        for port, pid in servers:
            before = cpu_seconds(pid)
            one_connection(port, options, first[port], later[port])
            cpu[port] += cpu_seconds(pid) - before

    def spread(values):
        return (f"p50 {statistics.median(values):.0f} p90 {statistics.quantiles(values, n=10)[8]:.0f}"
                if len(values) > 1 else "n/a")

    for port, _ in servers:
        print(f"port {port}: first request µs {spread(first[port])}; later requests µs "
              f"{spread(later[port])}; server CPU µs per connection "
              f"{cpu[port] / options.connections * 1e6:.0f}")


if __name__ == "__main__":
    main()
