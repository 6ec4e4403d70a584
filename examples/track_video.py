#!/usr/bin/python3
"""Tracks a planar target through a video (or a camera) with Quorl's Python module and writes the video
with the target's outline drawn on it.

    track_video.py INPUT OUTPUT.avi X0 Y0 X1 Y1 X2 Y2 X3 Y3 [--robust]

INPUT is anything OpenCV opens: a video file, an image sequence such as frames/%06d.png, or a camera
number. The corners are the target's in the first frame, clockwise from the top-left.
"""
import sys

import cv2
import numpy as np

import quorl


def main(argv):
    if len(argv) not in (11, 12):
        print(__doc__, file=sys.stderr)
        return 2
    source = int(argv[1]) if argv[1].isdigit() else argv[1]
    capture = cv2.VideoCapture(source)
    ok, frame = capture.read()
    if not ok:
        print(f"track_video.py: cannot read {argv[1]}", file=sys.stderr)
        return 1
    values = [float(v) for v in argv[3:11]]
    corners = list(zip(values[0::2], values[1::2]))
    tracker = quorl.Tracker(robust=len(argv) == 12 and argv[11] == "--robust")
    print(f"registered {tracker.register(frame, corners)} model points")
    height, width = frame.shape[:2]
    writer = cv2.VideoWriter(argv[2], cv2.VideoWriter_fourcc(*"MJPG"), 30.0, (width, height))
    frames = tracked = 0
    ms = 0.0
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        r = tracker.track(frame)
        frames += 1
        ms += r.ms
        if r.state in (quorl.TrackState.TRACKING, quorl.TrackState.HOLDING):
            tracked += r.state == quorl.TrackState.TRACKING
            colour = (0, 255, 0) if r.state == quorl.TrackState.TRACKING else (0, 255, 255)
            cv2.polylines(frame, [np.round(r.quad).astype(np.int32)], True, colour, 2)
        writer.write(frame)
    print(f"tracked {tracked} of {frames} frames, {ms / max(frames, 1):.2f} ms per frame")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
