#!/usr/bin/env python3
"""Measures the guess throttle: kovweb --auth on loopback, a client with the right password
from 127.0.0.2 timing one keep-alive request after another, first alone, then while a guesser
(a process of its own) sends 10,000 wrong passwords in all from 127.0.0.1, 2,000 a second on five
keep-alive connections, 20 pipelined at a time, in three rounds each way taken in turns. Prints how many of the guesses were checked
(401) and how many refused (429), from the request log, and the right client's p50 and p99.

    python3 bench/guessing.py [KOVWEB] [--seconds S] [--guesses N]
"""
import base64
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

RIGHT, WRONG = "bench:right-password", "bench:wrong-guess"
ROUNDS = 3


def header(credentials):
    return "Authorization: Basic " + base64.b64encode(credentials.encode()).decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_answer(sock, buffered):
    """Reads one answer (head and content-length body) off sock; returns (status, rest)."""
    while b"\r\n\r\n" not in buffered:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buffered += chunk
    head, _, rest = buffered.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(rest) < length:
        rest += sock.recv(65536)
    return int(head.split(b" ")[1]), rest[length:]


def time_right_client(port, seconds):
    """Latencies (µs) of requests with the right password from 127.0.0.2 over seconds."""
    request = f"GET /1k.txt HTTP/1.1\r\nHost: x\r\n{header(RIGHT)}\r\n\r\n".encode()
    sock = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.2", 0))
    latencies, rest, end = [], b"", time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.perf_counter()
        sock.sendall(request)
        status, rest = read_answer(sock, rest)
        latencies.append((time.perf_counter() - start) * 1e6)
        if status != 200:
            raise SystemExit(f"the right password from 127.0.0.2 got {status}")
    sock.close()
    return sorted(latencies)


def guess(port, count, rate):
    """Sends count wrong passwords from 127.0.0.1 at about rate a second; returns their statuses."""
    request = f"GET /1k.txt HTTP/1.1\r\nHost: x\r\n{header(WRONG)}\r\n\r\n".encode()
    socks = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(5)]
    rests, statuses, batch, sent = [b""] * len(socks), {}, 20, 0
    start = time.monotonic()
    while sent < count:
        for i, sock in enumerate(socks):
            n = min(batch, count - sent)
            if n <= 0:
                break
            sock.sendall(request * n)
            for _ in range(n):
                status, rests[i] = read_answer(sock, rests[i])
                statuses[status] = statuses.get(status, 0) + 1
            sent += n
        # Paced to the rate: a guesser that does not flood, so that what is measured is the
        # throttle and not a machine with no CPU left.
        time.sleep(max(0.0, start + sent / rate - time.monotonic()))
    return statuses


def percentile(values, p):
    return values[min(len(values) - 1, int(len(values) * p))]


def main():
    args = sys.argv[1:]
    if args[:1] == ["--guess"]:
        print(guess(int(args[1]), int(args[2]), int(args[3])))
        return
    seconds, guesses = 5, 10000
    if "--guesses" in args:
        i = args.index("--guesses")
        guesses = int(args[i + 1])
        del args[i:i + 2]
    if "--seconds" in args:
        i = args.index("--seconds")
        seconds = int(args[i + 1])
        del args[i:i + 2]
    kovweb = args[0] if args else os.path.join(os.path.dirname(__file__), "..", "build", "kovweb")
    with tempfile.TemporaryDirectory() as root:
        with open(os.path.join(root, "1k.txt"), "wb") as f:
            f.write(os.urandom(1024))
        port = free_port()
        log = open(os.path.join(root, "log.txt"), "w+")
        server = subprocess.Popen([kovweb, "--port", str(port), "--auth", RIGHT, root], stdout=log,
                                  stderr=subprocess.STDOUT)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            # Alone and beside the guesser in turns, so that what else the machine does weighs on
            # both alike; the guesses are shared out over the rounds, all within one minute.
            alone, beside, told = [], [], []
            for round in range(ROUNDS):
                alone.append(time_right_client(port, seconds))
                share = guesses // ROUNDS + (guesses % ROUNDS if round == 0 else 0)
                attack = subprocess.Popen([sys.executable, __file__, "--guess", str(port), str(share),
                                           str(max(1, share // seconds))], stdout=subprocess.PIPE, text=True)
                beside.append(time_right_client(port, seconds))
                told.append(attack.communicate()[0].strip())
            time.sleep(0.5)  # the log's lines are out within a tenth of a second
        finally:
            server.terminate()
            server.wait(10)
        log.seek(0)
        statuses = {}
        for line in log:
            if line.startswith("127.0.0.1 "):
                status = line.rsplit(" ", 2)[1]
                statuses[status] = statuses.get(status, 0) + 1
    print(f"guesses from 127.0.0.1: {sum(statuses.values())} logged, by status {statuses}; "
          f"the guesser saw {', '.join(told)}")
    p99 = {}
    for name, rounds in (("alone", alone), ("beside the guesser", beside)):
        for n, values in enumerate(rounds, 1):
            print(f"round {n}, right password from 127.0.0.2, {name}: {len(values)} requests, "
                  f"p50 {percentile(values, 0.5):.0f} µs, p99 {percentile(values, 0.99):.0f} µs")
        p99[name] = sorted(percentile(values, 0.99) for values in rounds)[len(rounds) // 2]
    print(f"median p99: alone {p99['alone']:.0f} µs, beside the guesser {p99['beside the guesser']:.0f} µs, "
          f"ratio {p99['beside the guesser'] / p99['alone']:.2f}")


if __name__ == "__main__":
    main()
