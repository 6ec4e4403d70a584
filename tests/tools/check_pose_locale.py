"""Quorl under a German locale (decimal comma) publishes lines that parse as JSON and validate against
docs/pose-message.schema.json: Qt sets the process locale from the environment, quorl-track never does.
Its --publish-origin lets a page of that origin in and keeps others out.
The locale is made into a private folder (LOCPATH) when the system has none; Quorl runs on an Xvfb of
its own. Usage: check_pose_locale.py QUORL SOURCE_DIR PORT"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

import jsonschema

quorl, root, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
validator = jsonschema.Draft202012Validator(json.load(open(f"{root}/docs/pose-message.schema.json")))
LOCALE = "de_DE.UTF-8"

with tempfile.TemporaryDirectory() as tmp:
    env = dict(os.environ, LC_ALL=LOCALE, QT_QPA_PLATFORM="xcb", LSAN_OPTIONS="detect_leaks=0")
    decimal = subprocess.run(["locale", "-k", "decimal_point"], env=env, capture_output=True, text=True).stdout
    if "," not in decimal:
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", f"{tmp}/{LOCALE}"], check=True)
        env["LOCPATH"] = tmp
        decimal = subprocess.run(["locale", "-k", "decimal_point"], env=env, capture_output=True, text=True).stdout
    if "," not in decimal:
        print(f"{LOCALE} gives no decimal comma: {decimal!r}")
        sys.exit(1)
    # The server takes a display number no other server has (-displayfd), so that tests running at once
    # never share one.
    ready, report = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(report), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            pass_fds=[report], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(report)
    with os.fdopen(ready) as numbers:
        display = numbers.readline().strip()
    if not display:
        print("Xvfb did not start")
        sys.exit(1)
    env["DISPLAY"] = f":{display}"
    run = None
    try:
        picture = "/usr/share/doc/opencv-doc/examples/data/box.png"
        run = subprocess.Popen([quorl, "--source", "pictures:table", "--picture", picture,
                                "--camera-params", f"{root}/Data/camera_param.dat", "--publish", str(port), "--publish-origin", "https://example.org"], env=env)
        for _ in range(600):
            try:
                stream = socket.create_connection(("127.0.0.1", port), timeout=30).makefile("rb")
                break
            except ConnectionRefusedError:
                if run.poll() is not None:
                    print(f"quorl ended with status {run.returncode} before it listened on {port}")
                    sys.exit(1)
                time.sleep(0.1)
        else:
            print(f"quorl never listened on {port}")
            sys.exit(1)
        lines = []  # until the picture is tracked, for numbers of every kind
        while len(lines) < 600 and (len(lines) < 30 or b'"tracking"' not in lines[-1]):
            lines.append(stream.readline())
        answers = {}
        for origin in ("https://example.org", "https://evil.example"):
            page = socket.create_connection(("127.0.0.1", port + 1), timeout=30)
            page.sendall(f"GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                         f"Origin: {origin}\r\n\r\n".encode())
            answers[origin] = page.recv(12)
            page.close()
    finally:
        if run is not None:
            run.kill()
            run.wait()
        xvfb.kill()
        xvfb.wait()

failures = 0
if answers != {"https://example.org": b"HTTP/1.1 101", "https://evil.example": b"HTTP/1.1 403"}:
    print(f"origins: {answers}")
    failures += 1
numbers = 0
for line in lines:
    try:
        message = json.loads(line)
    except ValueError as error:
        print(f"not JSON ({error}): {line[:200]!r}")
        failures += 1
        continue
    failures += sum(1 for _ in validator.iter_errors(message))
    numbers += any(t["pose"] is not None for t in message["targets"])
if numbers == 0:
    print(f"no message had a pose: the picture was never tracked; the last: {lines[-1][:300]!r}")
    failures += 1
print(f"{len(lines)} lines under {LOCALE}, {numbers} with a pose, {failures} failures")
sys.exit(1 if failures else 0)
