#!/usr/bin/env python3
"""Prints each target's name, state and translation from a running quorl-track --publish PORT.

    build/tools/quorl-track --source pictures:table --picture poster.png --frames 100000 --publish 5555 &
    examples/pose_client.py 5555
"""
import json
import socket
import sys
import time


def main(argv):
    port = int(argv[1]) if len(argv) > 1 else 5555
    host = argv[2] if len(argv) > 2 else "127.0.0.1"
    for _ in range(50):  # the tracker may still be starting
        try:
            connection = socket.create_connection((host, port))
            break
        except ConnectionRefusedError:
            time.sleep(0.1)
    else:
        print(f"pose_client: nothing publishes on {host}:{port}", file=sys.stderr)
        return 1
    with connection:
        for line in connection.makefile("r", encoding="utf-8"):
            message = json.loads(line)
            for target in message["targets"]:
                pose = target["pose"]
                where = "" if pose is None else " at " + " ".join(f"{v:.3f}" for v in pose["translation"])
                print(f"frame {message['frame']}: {target['name']} {target['state']}{where}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
