#!/usr/bin/env python3
"""Sends the same requests to two server binaries and compares what they do.

    tools/compare_servers.py OLD_SERVER NEW_SERVER REQUEST_FILE...

Each REQUEST_FILE holds one request a line, or (a .json file) one request.
Both servers start on fresh simulated devices of their own and get each
request in turn, the old one first, from an abstract address. Compared:
every reply byte for byte; the lines of the simulated log buffers, as sets,
without their time stamps and pids; every stored file under the roots.
Prints the differences and exits 1 when there are any.
"""
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time

STAMP = re.compile(rb"^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} |\(\s*\d+\)")


def start(binary):
    root = tempfile.mkdtemp(prefix="kal-compare-")
    out = open(os.path.join(root, "server.out"), "wb")
    proc = subprocess.Popen([binary], env=dict(os.environ, KAL_ROOT=root), stdout=out, stderr=out)
    sock = os.path.join(root, "tmp", "vy_kal_server.sock")
    for _ in range(200):
        if os.path.exists(sock):
            break
        time.sleep(0.05)
    else:
        sys.exit(f"compare_servers: {binary} did not start")
    client = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    client.bind("")
    return proc, root, sock, client


def ask(client, sock, request):
    while True:
        ready, _, _ = select.select([client], [], [], 0)
        if not ready:
            break
        client.recv(1 << 18)
    try:
        client.sendto(request, sock)
    except OSError as error:
        return b"<send failed: %s>" % str(error).encode()
    ready, _, _ = select.select([client], [], [], 10)
    return client.recv(1 << 18) if ready else b"<no reply>"


def stored(root):
    files = {}
    for base, _, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            rel = os.path.relpath(path, root)
            if rel == "server.out" or ".tmp." in rel or not os.path.isfile(path) or os.path.islink(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            if rel.startswith("sim/log/"):
                data = b"\n".join(sorted(STAMP.sub(b"", line) for line in data.splitlines()))
            files[rel] = data
    return files


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    requests = []
    for name in sys.argv[3:]:
        with open(name, "rb") as f:
            data = f.read()
        if name.endswith(".json"):
            requests.append(data.strip())
        else:
            requests.extend(line for line in data.split(b"\n") if line)
    old = start(sys.argv[1])
    new = start(sys.argv[2])
    differing = 0
    for request in requests:
        a = ask(old[3], old[2], request)
        b = ask(new[3], new[2], request)
        if a != b:
            differing += 1
            if differing <= 20:
                print(f"reply differs for {request[:160]!r}:\n  old {a[:200]!r}\n  new {b[:200]!r}")
    for proc, *_ in (old, new):
        proc.kill()
        proc.wait()
    files_old, files_new = stored(old[1]), stored(new[1])
    file_diffs = sorted(k for k in set(files_old) | set(files_new) if files_old.get(k) != files_new.get(k))
    for name in file_diffs:
        print(f"stored file differs: {name}")
    print(f"compare_servers: {len(requests)} requests, {differing} replies differ, {len(file_diffs)} stored files differ")
    sys.exit(1 if differing or file_diffs else 0)


if __name__ == "__main__":
    main()
