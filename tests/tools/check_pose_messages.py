"""quorl-track --json: every line validates against docs/pose-message.schema.json, and each target's
corners equal the CSV's quad of the same frame; runs with the clicked target (both modes) and with
pictures on the picture scene; a picture whose file name is Latin-1 gives valid UTF-8 with U+FFFD in its
name. Usage: check_pose_messages.py QUORL_TRACK SOURCE_DIR"""
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile

import jsonschema

tool, root = sys.argv[1], sys.argv[2]
calibration = f"{root}/Data/camera_param.dat"
validator = jsonschema.Draft202012Validator(json.load(open(f"{root}/docs/pose-message.schema.json")))
data = "/usr/share/doc/opencv-doc/examples/data/"
runs = [["--frames", "40"], ["--frames", "40", "--robust"],
        ["--source", "pictures:swap", "--frames", "30", "--picture", data + "box.png", "--picture-width", "0.12",
         "--picture", data + "butterfly.jpg", "--corners", "100,60,220,60,220,180,100,180"]]
failures = 0
with tempfile.TemporaryDirectory() as tmp:
    for args in runs:
        lines = subprocess.run([tool, "--quiet", "--camera-params", calibration, "--csv", f"{tmp}/run.csv",
                                "--json", "-"] + args, check=True, capture_output=True, text=True).stdout.splitlines()
        rows = list(csv.DictReader(open(f"{tmp}/run.csv")))
        quads = {}
        for row in rows:
            quad = [[float(row[f"quad_x{i}"]), float(row[f"quad_y{i}"])] for i in range(4)]
            quads[(int(row["frame"]), row.get("target", "target"))] = quad
        tracked = 0
        for line in lines:
            message = json.loads(line)
            for error in validator.iter_errors(message):
                print(f"{args}: frame {message.get('frame')}: {error.message}")
                failures += 1
            for target in message["targets"]:
                expected = quads.get((message["frame"], target["name"]))
                if target["state"] == "detecting" or expected is None:
                    continue  # the registration row shows the clicks
                tracked += target["state"] == "tracking"
                if any(abs(a - b) > 1e-3 * max(1.0, abs(b)) for p, q in zip(target["corners"], expected)
                       for a, b in zip(p, q)):
                    print(f"{args}: frame {message['frame']} {target['name']}: {target['corners']} != {expected}")
                    failures += 1
        if len(lines) < 30 or tracked < 20:
            print(f"{args}: {len(lines)} messages, {tracked} tracked targets")
            failures += 1
    # A file name in Latin-1 (not UTF-8): its name's bad byte becomes U+FFFD, and the output stays UTF-8.
    latin1 = os.fsencode(tmp) + b"/caf\xe9.png"
    shutil.copy(data + "box.png", latin1)
    out = subprocess.run([os.fsencode(tool), b"--quiet", b"--frames", b"5", b"--source", b"pictures:table",
                          b"--picture", latin1, b"--json", b"-"], check=True, capture_output=True).stdout
    try:
        names = {t["name"] for line in out.decode("utf-8").splitlines() for t in json.loads(line)["targets"]}
    except ValueError as error:
        names = {f"not UTF-8 JSON: {error}"}
    if names != {"caf\ufffd"}:
        print(f"Latin-1 file name: names {names}")
        failures += 1
sys.exit(1 if failures else 0)
