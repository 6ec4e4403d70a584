"""quorl-track --publish: 16 TCP clients and a WebSocket client receive every message of a short
synthetic run, with the CSV's corners and valid against the schema; a client that never reads, one that
leaves mid-run and one that sends bytes change nothing and the run ends normally; clients sending 100 MB
leave the run's CSV and status as they were; 200 connections made and dropped during a run leave its heap
flat; a port in use is a clear message. Usage: check_pose_stream.py QUORL_TRACK SOURCE_DIR PORT"""
import base64
import csv
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import jsonschema

tool, root, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
validator = jsonschema.Draft202012Validator(json.load(open(f"{root}/docs/pose-message.schema.json")))
FRAMES = 40
failures = []


def connect(p):
    for _ in range(200):
        try:
            return socket.create_connection(("127.0.0.1", p), timeout=10)
        except ConnectionRefusedError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {p}")


def read_all(s):
    data = b""
    while chunk := s.recv(65536):
        data += chunk
    return data


def websocket_messages(data):
    """The text messages of server frames (after the handshake response)."""
    head, _, data = data.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 101"), head
    messages = []
    while data:
        n = data[1] & 0x7F
        at = 2
        if n == 126:
            n, at = struct.unpack(">H", data[2:4])[0], 4
        elif n == 127:
            n, at = struct.unpack(">Q", data[2:10])[0], 10
        assert data[0] == 0x81, data[0]
        messages.append(data[at:at + n].decode())
        data = data[at + n:]
    return messages


with tempfile.TemporaryDirectory() as tmp:
    run = subprocess.Popen([tool, "--quiet", "--frames", str(FRAMES), "--csv", f"{tmp}/run.csv", "--camera-params",
                            f"{root}/Data/camera_param.dat", "--publish", str(port), "--publish-wait", "20"],
                           stderr=subprocess.PIPE, text=True)
    tcp = connect(port)
    others = [connect(port) for _ in range(15)]
    ws = connect(port + 1)
    key = base64.b64encode(os.urandom(16)).decode()
    ws.sendall(f"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    silent = connect(port)  # never reads
    silent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    chatty = connect(port)
    chatty.sendall(b"quit\nshutdown\n" + os.urandom(3000))  # never taken as a command
    leaving = connect(port)
    leaving.recv(10)  # mid-message
    leaving.close()
    lines = read_all(tcp).decode().splitlines()
    messages = websocket_messages(read_all(ws))
    chatty_lines = read_all(chatty).decode().splitlines()
    if any(read_all(other).decode().splitlines() != lines for other in others):
        failures.append("one of 16 clients missed lines")
    _, errors = run.communicate(timeout=60)
    if run.returncode != 0:
        failures.append(f"run ended with {run.returncode}: {errors}")
    rows = {int(r["frame"]): r for r in csv.DictReader(open(f"{tmp}/run.csv"))}
    if lines != messages or lines != chatty_lines:
        failures.append(f"clients differ: {len(lines)} tcp, {len(messages)} websocket, {len(chatty_lines)} chatty")
    if len(lines) != FRAMES:
        failures.append(f"{len(lines)} messages for {FRAMES} frames")
    for line in lines:
        message = json.loads(line)
        failures += [error.message for error in validator.iter_errors(message)]
        row, target = rows[message["frame"]], message["targets"][0]
        if target["state"] == "detecting":
            continue
        expected = [[float(row[f"quad_x{i}"]), float(row[f"quad_y{i}"])] for i in range(4)]
        if any(abs(a - b) > 1e-3 for p, q in zip(target["corners"], expected) for a, b in zip(p, q)):
            failures.append(f"frame {message['frame']}: {target['corners']} != {expected}")

    # 200 connections made and dropped during a longer run: the heap stays flat.
    process = subprocess.Popen([tool, "--quiet", "--frames", "900", "--memory-every", "300", "--camera-params",
                                f"{root}/Data/camera_param.dat", "--publish", str(port), "--publish-wait", "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = connect(port)
    for _ in range(200):
        connect(port).close()
        time.sleep(0.005)
    out, _ = process.communicate(timeout=120)
    first.close()
    heap = [int(line.split("heap in use ")[1].split()[0]) for line in out.splitlines() if "heap in use" in line]
    if len(heap) < 3 or heap[-1] - heap[0] > 512:
        failures.append(f"heap in use over the run (KiB): {heap}")

    # Clients sending 100 MB (plain TCP, and WebSocket frames) change neither the run's CSV nor its status.
    flooded_bytes = []

    def flood(sock, chunk):
        try:
            for _ in range(100 * 2**20 // len(chunk)):
                sock.sendall(chunk)
                flooded_bytes.append(len(chunk))
        except OSError:
            pass  # the run ended first

    def run_csv(name, *extra):
        done = subprocess.run([tool, "--quiet", "--frames", "150", "--csv", f"{tmp}/{name}.csv", "--camera-params",
                               f"{root}/Data/camera_param.dat", *extra], capture_output=True, text=True, timeout=120)
        rows = [{k: v for k, v in r.items() if k not in ("ms", "frameRate")}
                for r in csv.DictReader(open(f"{tmp}/{name}.csv"))]
        return done.returncode, rows

    floods = []

    def start_floods():
        tcp_flood = connect(port)
        ws_flood = connect(port + 1)
        ws_flood.sendall(f"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
        answer = b""
        while b"\r\n\r\n" not in answer:
            answer += ws_flood.recv(1)
        frame = b"\x82\xff" + struct.pack(">Q", 1 << 16) + b"\0\0\0\0" + os.urandom(1 << 16)
        floods.extend(threading.Thread(target=flood, args=args) for args in
                      ((tcp_flood, os.urandom(1 << 16)), (ws_flood, frame)))
        for thread in floods:
            thread.start()

    expected = run_csv("quiet")
    starter = threading.Timer(0.2, start_floods)
    starter.start()
    flooded = run_csv("flooded", "--publish", str(port), "--publish-wait", "2")
    starter.join()
    for thread in floods:
        thread.join()
    if sum(flooded_bytes) < 2**20:
        failures.append(f"the flooding clients sent only {sum(flooded_bytes)} bytes")
    if flooded != expected:
        failures.append(f"100 MB from clients changed the run: exit {flooded[0]}, "
                        f"{sum(a != b for a, b in zip(flooded[1], expected[1]))} rows differ")

    # The port is taken while another run listens.
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", port))
    holder.listen()
    taken = subprocess.run([tool, "--quiet", "--frames", "2", "--publish", str(port)], capture_output=True, text=True)
    holder.close()
    if taken.returncode != 1 or f"port {port} is in use" not in taken.stderr:
        failures.append(f"port in use: exit {taken.returncode}, {taken.stderr!r}")

for failure in failures[:20]:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
