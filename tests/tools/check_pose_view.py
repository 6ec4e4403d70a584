"""examples/pose_view.html in Debian's chromium (headless, driven over its DevTools protocol) against a
quorl-track --publish run: once the page has drawn frame K, a screenshot shows the quad's green outline
at the corners the CSV gives for frame K. A picture target whose file name is Latin-1 rides along: its name
must reach the page as valid UTF-8, or the browser closes the connection. Skipped (exit 77) without chromium.
Usage: check_pose_view.py QUORL_TRACK SOURCE_DIR PORT"""
import base64
import csv
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

import cv2
import numpy as np

tool, root, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
chromium = shutil.which("chromium")
if chromium is None:
    print("chromium is not installed")
    sys.exit(77)
FRAME = 40
debug_port = port + 10


class DevTools:
    """A minimal WebSocket client for one DevTools page target."""

    def __init__(self, url):
        host, path = url[len("ws://"):].split("/", 1)
        name, number = host.split(":")
        self.socket = socket.create_connection((name, int(number)), timeout=20)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall(f"GET /{path} HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self.socket.recv(4096)
        self.buffer = self.buffer.split(b"\r\n\r\n", 1)[1]
        self.next_id = 0

    def _read(self, n):
        while len(self.buffer) < n:
            self.buffer += self.socket.recv(1 << 16)
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def call(self, method, **params):
        self.next_id += 1
        payload = json.dumps({"id": self.next_id, "method": method, "params": params}).encode()
        mask = os.urandom(4)
        header = b"\x81" + (bytes([0x80 | len(payload)]) if len(payload) < 126
                            else b"\xfe" + struct.pack(">H", len(payload)))
        self.socket.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        while True:
            first, second = self._read(2)
            n = second & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            message = json.loads(self._read(n))
            if message.get("id") == self.next_id:
                return message.get("result", {})


with tempfile.TemporaryDirectory() as tmp:
    latin1 = os.fsencode(tmp) + b"/caf\xe9.png"
    shutil.copy("/usr/share/doc/opencv-doc/examples/data/box.png", latin1)
    run = subprocess.Popen([os.fsencode(a) for a in
                            [tool, "--quiet", "--frames", str(FRAME + 20), "--csv", f"{tmp}/run.csv", "--camera-params",
                             f"{root}/Data/camera_param.dat", "--publish", str(port), "--publish-wait", "1",
                             "--corners", "100,60,220,60,220,180,100,180"]] + [b"--picture", latin1])
    browser = subprocess.Popen([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                "--disable-sync", f"--user-data-dir={tmp}/profile", "--window-size=320,240",
                                f"--remote-debugging-port={debug_port}",
                                f"file://{root}/examples/pose_view.html?port={port}&frame={FRAME}"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        pages = []
        for _ in range(100):
            try:
                pages = [p for p in json.load(urllib.request.urlopen(f"http://127.0.0.1:{debug_port}/json"))
                         if p["type"] == "page"]
                if pages:
                    break
            except OSError:
                pass
            time.sleep(0.2)
        page = DevTools(pages[0]["webSocketDebuggerUrl"])
        page.call("Emulation.setDeviceMetricsOverride", width=320, height=240, deviceScaleFactor=1, mobile=False)
        for _ in range(300):
            title = page.call("Runtime.evaluate", expression="document.title")["result"]["value"]
            if title == f"frame {FRAME}":
                break
            time.sleep(0.2)
        else:
            print(f"the page never drew frame {FRAME} (title {title!r})")
            sys.exit(1)
        png = base64.b64decode(page.call("Page.captureScreenshot", format="png")["data"])
    finally:
        browser.kill()
        run.wait(timeout=30)
    shot = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_COLOR)
    rows = csv.DictReader(open(f"{tmp}/run.csv", encoding="latin-1"))  # the CSV keeps the name's bytes
    row = next(r for r in rows if int(r["frame"]) == FRAME and r["target"] == "target")
    missing = []
    for i in range(4):
        x, y = round(float(row[f"quad_x{i}"])), round(float(row[f"quad_y{i}"]))
        patch = shot[max(0, y - 2):y + 3, max(0, x - 2):x + 3]
        green = (patch[:, :, 1] > 180) & (patch[:, :, 0] < 80) & (patch[:, :, 2] < 80)
        if not green.any():
            missing.append((x, y))
    if missing:
        print(f"no green outline at corners {missing} of frame {FRAME}")
        sys.exit(1)
print("pose_view.html draws the CSV's quad")
