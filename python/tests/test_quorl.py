"""The Python module against quorl-track on the same pictures, bad input, trackers on two threads."""
import csv
import os
import subprocess
import threading

import cv2
import numpy as np
import pytest

import quorl

TOOL = os.environ["QUORL_TRACK"]
CALIBRATION = os.path.join(os.environ["QUORL_SOURCE_DIR"], "Data", "camera_param.dat")
FRAMES = 40


def run_tool(args, csv_path):
    subprocess.run([TOOL, "--quiet", "--camera-params", CALIBRATION, "--csv", str(csv_path)] + args, check=True)
    with open(csv_path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture(scope="module")
def pictures(tmp_path_factory):
    """Pictures of a synthetic run and the target's corners in the first, clockwise from the top-left."""
    folder = tmp_path_factory.mktemp("frames")
    rows = run_tool(["--frames", str(FRAMES), "--warmup", "1", "--save-frames", str(folder)], folder / "run.csv")
    corners = [(round(float(rows[0][f"gt_x{i}"])), round(float(rows[0][f"gt_y{i}"]))) for i in range(4)]
    return folder, corners


@pytest.mark.parametrize("robust", [False, True])
def test_results_equal_the_headless_tools(pictures, tmp_path, robust):
    folder, corners = pictures
    corner_option = ",".join(f"{x},{y}" for x, y in corners)
    rows = run_tool(["--source", str(folder / "%06d.png"), "--corners", corner_option]
                    + (["--robust"] if robust else []), tmp_path / "tool.csv")
    frames = [cv2.imread(str(folder / f"{i:06d}.png")) for i in range(FRAMES)]
    tracker = quorl.Tracker(robust=robust, camera_params=CALIBRATION)
    assert tracker.register(frames[0], corners) == int(rows[0]["keypoints"])
    tracked = 0
    for frame, row in zip(frames[1:], rows[1:]):
        r = tracker.track(frame)
        assert (r.state_name, r.keypoints, r.matches, r.inliers) == (
            row["state"], int(row["keypoints"]), int(row["matches"]), int(row["inliers"]))
        expected = np.array([[float(row[f"quad_x{i}"]), float(row[f"quad_y{i}"])] for i in range(4)])
        np.testing.assert_allclose(r.quad, expected, atol=0.01)
        if r.state == quorl.TrackState.TRACKING:
            tracked += 1
            assert r.homography.shape == (3, 3) and r.pose.shape == (4, 4)
    assert tracked > FRAMES // 2


def test_bad_input_raises_and_names_it():
    tracker = quorl.Tracker()
    frame = np.zeros((240, 320, 3), np.uint8)
    with pytest.raises(TypeError, match="float32"):
        tracker.track(frame.astype(np.float32))
    with pytest.raises(ValueError, match=r"\(240, 320, 4\)"):
        tracker.track(np.zeros((240, 320, 4), np.uint8))
    with pytest.raises(ValueError, match="each side"):
        tracker.track(np.zeros((4, 4), np.uint8))
    with pytest.raises(ValueError, match="four"):
        tracker.register(frame, [(0, 0), (10, 0), (10, 10)])
    with pytest.raises(ValueError, match="corner 1"):
        tracker.register(frame, [(0, 0), (10, 0, 1), (10, 10), (0, 10)])
    with pytest.raises(TypeError, match="corner 2"):
        tracker.register(frame, [(0, 0), (10, 0), ("a", 10), (0, 10)])
    with pytest.raises(ValueError, match="no part of the target"):
        tracker.register(frame, [(400, 300), (500, 300), (500, 400), (400, 400)])
    with pytest.raises(ValueError, match="nonexistent"):
        quorl.Tracker(camera_params="/nonexistent/camera_param.dat")
    with pytest.raises(ValueError, match="calibration: .*nonexistent"):
        quorl.Tracker(calibration="/nonexistent/left.yml")
    with pytest.raises(TypeError):
        quorl.Tracker(cameraParams=CALIBRATION)
    with pytest.raises(TypeError):
        quorl.Tracker(speed=3)
    # Gray frames, views that are not contiguous and read-only arrays are taken as they are.
    assert tracker.track(frame[:, :, 0]).state == quorl.TrackState.DETECTING
    assert tracker.track(np.zeros((480, 640, 3), np.uint8)[::2, ::2]).state_name == "detecting"
    read_only = frame.copy()
    read_only.flags.writeable = False
    assert tracker.track(read_only).state_name == "detecting"
    assert quorl.__version__.count(".") == 2


@pytest.mark.parametrize("robust", [False, True])
def test_a_frame_size_change_keeps_tracking(pictures, robust):
    """Registered at 320x240, then frames twice the size: no error, and the target is found again."""
    folder, corners = pictures
    frames = [cv2.imread(str(folder / f"{i:06d}.png")) for i in range(FRAMES)]
    tracker = quorl.Tracker(robust=robust, camera_params=CALIBRATION)
    tracker.register(frames[0], corners)
    tracker.track(frames[1])
    found = 0
    for frame in frames[2:12]:
        r = tracker.track(cv2.resize(frame, (640, 480)))
        if r.state == quorl.TrackState.TRACKING:
            found += 1
            assert r.quad[:, 0].max() > 320  # in the large frame's pixels
    assert found > 0
    assert tracker.track(frames[12]).state_name in ("tracking", "holding", "lost")


@pytest.mark.parametrize("robust", [False, True])
def test_two_trackers_on_two_threads_agree_with_sequential_runs(pictures, robust):
    folder, corners = pictures
    frames = [cv2.imread(str(folder / f"{i:06d}.png")) for i in range(FRAMES)]
    clips = [frames, [cv2.flip(f, 1) for f in frames]]
    mirrored = [(319 - x, y) for x, y in corners]
    clip_corners = [corners, [mirrored[1], mirrored[0], mirrored[3], mirrored[2]]]

    def run(k, out):
        tracker = quorl.Tracker(warmup=5, robust=robust, camera_params=CALIBRATION)
        tracker.register(clips[k][0], clip_corners[k])
        out[k] = [(r.state, r.quad.tolist(), r.homography.tolist(), r.inliers)
                  for r in (tracker.track(f) for f in clips[k][1:])]

    alone, together = [None, None], [None, None]
    for k in range(2):
        run(k, alone)
    threads = [threading.Thread(target=run, args=(k, together)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert together == alone


def test_picture_targets_in_a_real_photo():
    """A picture target (opencv-doc's box) found in a photo of it in clutter; bad pictures raise."""
    data = "/usr/share/doc/opencv-doc/examples/data/"
    scene = cv2.imread(data + "box_in_scene.png")
    if scene is None:
        pytest.skip("opencv-doc not installed")
    tracker = quorl.Tracker(camera_params=CALIBRATION)
    rating = tracker.add_picture_file(data + "box.png", width=0.12)
    assert rating.warning == "" and rating.corners > 50
    for _ in range(3):
        r = tracker.track(scene)
    (box,) = r.targets
    assert (box.name, box.state, box.state_name) == ("box", quorl.TrackState.TRACKING, "tracking")
    np.testing.assert_allclose(box.quad, [[118, 161], [284, 175], [268, 298], [89, 273]], atol=6)
    assert 0.05 < box.pose[2, 3] < 1.0
    board = ((np.indices((400, 400)) // 50).sum(axis=0) % 2 * 210 + 20).astype(np.uint8)
    assert "track poorly" in tracker.add_picture_target("board", board).warning
    with pytest.raises(ValueError, match="no such file"):
        tracker.add_picture_file("/nonexistent/picture.png")
    with pytest.raises(ValueError, match="8x8"):
        tracker.add_picture_target("small", np.zeros((8, 8), np.uint8))
    tracker.remove_picture_targets()
    assert tracker.track(scene).targets == []


def test_a_picture_library_tracks_as_its_picture_file(tmp_path):
    """A library made by quorl-library gives the picture's rating and the same quads; a bad file raises."""
    data = "/usr/share/doc/opencv-doc/examples/data/"
    scene = cv2.imread(data + "box_in_scene.png")
    if scene is None:
        pytest.skip("opencv-doc not installed")
    library = tmp_path / "box.qlib"
    subprocess.run([os.environ["QUORL_LIBRARY"], "build", str(library), data + "box.png", "--quiet"], check=True,
                   stdout=subprocess.DEVNULL)
    one, loaded = quorl.Tracker(), quorl.Tracker()
    expected = one.add_picture_file(data + "box.png")
    (rating,) = loaded.add_picture_library(str(library))
    assert (rating.score, rating.corners) == (expected.score, expected.corners)
    for _ in range(3):
        a, b = one.track(scene), loaded.track(scene)
        assert [t.name for t in b.targets] == ["box"]
        np.testing.assert_array_equal(a.targets[0].quad, b.targets[0].quad)
    with pytest.raises(ValueError, match="not a Quorl picture library"):
        loaded.add_picture_library(data + "box.png")
    assert len(loaded.track(scene).targets) == 1


LEFT_CAMERA = "/usr/share/doc/opencv-doc/examples/data/left_intrinsics.yml"


@pytest.mark.skipif(not os.path.exists(LEFT_CAMERA), reason="opencv-doc is not installed")
def test_tracking_through_a_lens_equals_the_headless_tool(tmp_path):
    folder = tmp_path / "frames"
    folder.mkdir()
    options = ["--frames", "20", "--warmup", "1", "--robust", "--size", "640x480", "--lens", LEFT_CAMERA,
               "--calibration", LEFT_CAMERA]
    rows = run_tool(options + ["--save-frames", str(folder)], tmp_path / "run.csv")
    corners = [(round(float(rows[0][f"gt_x{i}"])), round(float(rows[0][f"gt_y{i}"]))) for i in range(4)]
    tracker = quorl.Tracker(robust=True, warmup=1, calibration=LEFT_CAMERA)
    tracker.register(cv2.imread(str(folder / "000000.png")), corners)
    for i, row in enumerate(rows[1:], start=1):
        r = tracker.track(cv2.imread(str(folder / f"{i:06d}.png")))
        expected = [[float(row[f"quad_x{k}"]), float(row[f"quad_y{k}"])] for k in range(4)]
        np.testing.assert_allclose(r.quad, expected, atol=0.01)
        assert r.state == quorl.TrackState.TRACKING and r.pose.shape == (4, 4)
