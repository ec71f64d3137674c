#!/usr/bin/env python3
"""The odd clients of the soak run: one-shot GET/HEAD/404 requests, large downloads, slow
heads and clients that vanish mid-response. Runs for the given seconds and prints one
"name ok failed" line per kind of client.

    soak_clients.py PORT SECONDS LARGE_SIZE
"""
import socket
import struct
import sys
import threading
import time

HOST = "127.0.0.1"
# Every wait is generous: the keep-alive load and slow clients may hold all five workers
# for a while, so a new connection can wait its turn in the listen backlog.
TIMEOUT_S = 30.0
# A trickled head is cut by the server's head deadline (3 s); this leaves room for a
# loaded machine and for a turn in the backlog.
SLOW_CUT_BOUND_S = 20.0

counts = {}
counts_lock = threading.Lock()
stop_at = 0.0


def note(name, ok):
    with counts_lock:
        good, bad = counts.get(name, (0, 0))
        counts[name] = (good + 1, bad) if ok else (good, bad + 1)


def connect():
    s = socket.create_connection((HOST, PORT), timeout=TIMEOUT_S)
    s.settimeout(TIMEOUT_S)
    return s


def read_to_end(s):
    chunks = []
    while True:
        data = s.recv(65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def split_response(raw):
    """(status, content-length or None, body) of one response read to the end."""
    head, sep, body = raw.partition(b"\r\n\r\n")
    if not sep:
        return None, None, b""
    lines = head.split(b"\r\n")
    parts = lines[0].split(b" ", 2)
    status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None
    length = None
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    return status, length, body


def one_shot(method, target, want_status, want_length):
    """One request on its own connection, closed by the client's request."""
    try:
        with connect() as s:
            s.sendall(f"{method} {target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
            status, length, body = split_response(read_to_end(s))
        if status != want_status:
            return False
        if method == "HEAD":
            return body == b""
        return length == len(body) and (want_length is None or length == want_length)
    except OSError:
        return False


def loop(name, step, pause_s=0.0):
    while time.time() < stop_at:
        note(name, step())
        if pause_s:
            time.sleep(pause_s)


def one_shot_mix():
    kinds = [
        ("get_small", lambda: one_shot("GET", "/small.txt", 200, SMALL_SIZE)),
        ("head", lambda: one_shot("HEAD", "/small.txt", 200, None)),
        ("head_404", lambda: one_shot("HEAD", "/missing.txt", 404, None)),
        ("get_404", lambda: one_shot("GET", "/no/such/file.html", 404, None)),
    ]
    i = 0
    while time.time() < stop_at:
        name, step = kinds[i % len(kinds)]
        note(name, step())
        i += 1


def large_download():
    return one_shot("GET", "/large.bin", 200, LARGE_SIZE)


def slow_head():
    """Trickles a head that never ends: the server must cut it after its head deadline."""
    try:
        with connect() as s:
            started = time.time()
            s.settimeout(0.5)
            while time.time() - started < SLOW_CUT_BOUND_S:
                try:
                    s.sendall(b"G")
                    if s.recv(1) == b"":
                        return True
                except socket.timeout:
                    continue
                except OSError:
                    return True  # reset by the server: cut as well
            return False
    except OSError:
        return False


def vanish(kind):
    """Asks for the large file and leaves mid-response in one of three ways."""
    try:
        s = connect()
        s.sendall(b"GET /large.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        s.recv(4096)
        if kind == "reset":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif kind == "half_close":
            s.shutdown(socket.SHUT_WR)
            read_to_end(s)
        s.close()
        return True
    except OSError:
        return False


def vanishing_mix():
    kinds = ["reset", "close", "half_close"]
    i = 0
    while time.time() < stop_at:
        kind = kinds[i % len(kinds)]
        note("vanish_" + kind, vanish(kind))
        i += 1
        time.sleep(0.2)


def main():
    global PORT, stop_at, LARGE_SIZE, SMALL_SIZE
    PORT = int(sys.argv[1])
    stop_at = time.time() + float(sys.argv[2])
    LARGE_SIZE = int(sys.argv[3])
    SMALL_SIZE = int(sys.argv[4])
    threads = [
        threading.Thread(target=one_shot_mix),
        threading.Thread(target=loop, args=("large", large_download)),
        threading.Thread(target=loop, args=("slow_head", slow_head, 2.0)),
        threading.Thread(target=vanishing_mix),
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name in sorted(counts):
        good, bad = counts[name]
        print(f"{name} {good} {bad}")


if __name__ == "__main__":
    main()
