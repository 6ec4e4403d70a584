// The Python module `quorl`: the public tracker over numpy frames as OpenCV returns them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <string>
#include <utility>

#include "quorl/tracker.h"

namespace py = pybind11;

namespace {

// A frame as a cv::Mat over the array's bytes (copied first when its rows or pixels are not contiguous).
// `keep` holds the array the Mat points into. Wrong dtype: TypeError; wrong shape: ValueError.
cv::Mat FrameMat(const py::array& frame, py::array& keep) {
  if (!frame.dtype().is(py::dtype::of<uint8_t>()))
    throw py::type_error("frame must be a uint8 array, not " + std::string(py::str(frame.dtype())));
  const bool gray = frame.ndim() == 2;
  const bool bgr = frame.ndim() == 3 && frame.shape(2) == 3;
  if (!gray && !bgr) {
    std::string shape;
    for (py::ssize_t i = 0; i < frame.ndim(); ++i) shape += (i ? ", " : "") + std::to_string(frame.shape(i));
    throw py::value_error("frame must be H x W (gray) or H x W x 3 (BGR), not (" + shape + ")");
  }
  keep = py::array_t<uint8_t, py::array::c_style>::ensure(frame);
  // The tracker only reads the frame, so a read-only array is taken as it is.
  return cv::Mat(static_cast<int>(keep.shape(0)), static_cast<int>(keep.shape(1)), gray ? CV_8UC1 : CV_8UC3,
                 const_cast<void*>(keep.data()));
}

std::array<cv::Point2f, 4> Corners(const py::object& corners) {
  if (!py::isinstance<py::sequence>(corners) || py::len(corners) != 4)
    throw py::value_error("corners must be four (x, y) pairs, clockwise from the top-left");
  std::array<cv::Point2f, 4> out;
  for (std::size_t i = 0; i < 4; ++i) {
    const py::object pair = corners[py::int_(i)];
    if (!py::isinstance<py::sequence>(pair) || py::len(pair) != 2)
      throw py::value_error("corner " + std::to_string(i) + " must be an (x, y) pair");
    try {
      out[i] = cv::Point2f(pair[py::int_(0)].cast<float>(), pair[py::int_(1)].cast<float>());
    } catch (const py::cast_error&) {
      throw py::type_error("corner " + std::to_string(i) + " must hold two numbers");
    }
  }
  return out;
}

// One tracker; its calls take turns, so Python threads may share it (each tracker on its own thread runs
// in parallel, the GIL released).
struct PyTracker {
  explicit PyTracker(quorl::TrackerOptions options) : tracker(std::move(options)) {}
  quorl::Tracker tracker;
  std::mutex mutex;
};

py::object ToArray(const double* values, py::ssize_t rows, py::ssize_t cols) {
  py::array_t<double> out({rows, cols});
  std::copy(values, values + rows * cols, out.mutable_data());
  return out;
}

py::object QuadArray(const std::array<cv::Point2f, 4>& quad) {
  double values[8];
  for (int i = 0; i < 4; ++i) {
    values[2 * i] = quad[i].x;
    values[2 * i + 1] = quad[i].y;
  }
  return ToArray(values, 4, 2);
}

}  // namespace

PYBIND11_MODULE(quorl, m) {
  m.doc() = "Natural-feature tracking of a planar target in camera frames";
  m.attr("__version__") = QUORL_VERSION;

  py::enum_<quorl::TrackState>(m, "TrackState")
      .value("DETECTING", quorl::TrackState::Detecting)
      .value("TRACKING", quorl::TrackState::Tracking)
      .value("HOLDING", quorl::TrackState::Holding)
      .value("LOST", quorl::TrackState::Lost);

  py::class_<quorl::TargetResult>(m, "TargetResult")
      .def_readonly("name", &quorl::TargetResult::name)
      .def_readonly("state", &quorl::TargetResult::state)
      .def_property_readonly("state_name", [](const quorl::TargetResult& r) { return quorl::stateName(r.state); })
      .def_property_readonly("quad", [](const quorl::TargetResult& r) { return QuadArray(r.quad); })
      .def_property_readonly("homography",
                             [](const quorl::TargetResult& r) { return ToArray(r.homography.val, 3, 3); })
      .def_property_readonly("pose", [](const quorl::TargetResult& r) -> py::object {
        if (!r.pose) return py::none();
        return ToArray(r.pose->val, 4, 4);
      })
      .def_readonly("matches", &quorl::TargetResult::matches)
      .def_readonly("inliers", &quorl::TargetResult::inliers)
      .def("__repr__", [](const quorl::TargetResult& r) {
        return "<TargetResult " + r.name + " " + quorl::stateName(r.state) + ">";
      });

  py::class_<quorl::PictureRating>(m, "PictureRating")
      .def_readonly("corners", &quorl::PictureRating::corners)
      .def_readonly("spread", &quorl::PictureRating::spread)
      .def_readonly("distinctness", &quorl::PictureRating::distinctness)
      .def_readonly("score", &quorl::PictureRating::score)
      .def_readonly("warning", &quorl::PictureRating::warning)
      .def("__repr__", [](const quorl::PictureRating& r) {
        return "<PictureRating " + std::to_string(r.score) + (r.warning.empty() ? "" : ": " + r.warning) + ">";
      });

  py::class_<quorl::TrackResult>(m, "TrackResult")
      .def_readonly("state", &quorl::TrackResult::state)
      .def_property_readonly(
          "state_name", [](const quorl::TrackResult& r) { return quorl::stateName(r.state); },
          "detecting, tracking, holding or lost, as in quorl-track's CSV")
      .def_property_readonly("quad", [](const quorl::TrackResult& r) { return QuadArray(r.quad); })
      .def_readonly("targets", &quorl::TrackResult::targets)
      .def_property_readonly("homography", [](const quorl::TrackResult& r) { return ToArray(r.homography.val, 3, 3); })
      .def_property_readonly("pose", [](const quorl::TrackResult& r) -> py::object {
        if (!r.pose) return py::none();
        return ToArray(r.pose->val, 4, 4);
      })
      .def_readonly("keypoints", &quorl::TrackResult::keypoints)
      .def_readonly("matches", &quorl::TrackResult::matches)
      .def_readonly("inliers", &quorl::TrackResult::inliers)
      .def_readonly("ms", &quorl::TrackResult::ms)
      .def("__repr__", [](const quorl::TrackResult& r) {
        return std::string("<TrackResult ") + quorl::stateName(r.state) + ", " + std::to_string(r.inliers) +
               " inliers>";
      });

  const quorl::TrackerOptions defaults;
  py::class_<PyTracker>(m, "Tracker")
      .def(py::init([](int cornerType, int barrier, int warmup, bool robust, std::string cameraParams,
                       std::string calibration) {
             return new PyTracker(quorl::TrackerOptions{cornerType, barrier, warmup, robust, std::move(cameraParams),
                                                        std::move(calibration)});
           }),
           py::kw_only(), py::arg("corner_type") = defaults.cornerType, py::arg("barrier") = defaults.barrier,
           py::arg("warmup") = defaults.warmup, py::arg("robust") = defaults.robust,
           py::arg("camera_params") = defaults.cameraParams, py::arg("calibration") = defaults.calibration,
           "Options as quorl-track's; camera_params empty: the shipped calibration; calibration: a full one "
           "(OpenCV YAML or a camera file) whose lens the robust mode and the pictures track through.")
      .def(
          "register",
          [](PyTracker& t, const py::array& frame, const py::object& corners) {
            py::array keep;
            const cv::Mat image = FrameMat(frame, keep);
            const std::array<cv::Point2f, 4> points = Corners(corners);
            py::gil_scoped_release release;
            const std::lock_guard lock(t.mutex);
            return t.tracker.registerTarget(image, points);
          },
          py::arg("frame"), py::arg("corners"),
          "Registers the target inside four (x, y) corners, clockwise from the top-left; returns the model "
          "point count.")
      .def(
          "track",
          [](PyTracker& t, const py::array& frame) {
            py::array keep;
            const cv::Mat image = FrameMat(frame, keep);
            py::gil_scoped_release release;
            const std::lock_guard lock(t.mutex);
            return t.tracker.track(image);
          },
          py::arg("frame"), "Tracks the target in one frame (the GIL is released meanwhile).")
      .def(
          "add_picture_target",
          [](PyTracker& t, const std::string& name, const py::array& picture, double width) {
            py::array keep;
            const cv::Mat image = FrameMat(picture, keep);
            py::gil_scoped_release release;
            const std::lock_guard lock(t.mutex);
            return t.tracker.addPictureTarget(name, image, width);
          },
          py::arg("name"), py::arg("picture"), py::arg("width") = 0.0,
          "Adds a target given as a picture (the whole picture), width in metres (0: model units); returns "
          "its PictureRating.")
      .def(
          "add_picture_file",
          [](PyTracker& t, const std::string& path, double width) {
            py::gil_scoped_release release;
            const std::lock_guard lock(t.mutex);
            return t.tracker.addPictureFile(path, width);
          },
          py::arg("path"), py::arg("width") = 0.0, "The same from a picture file, named by its stem.")
      .def(
          "add_picture_library",
          [](PyTracker& t, const std::string& path) {
            py::gil_scoped_release release;
            const std::lock_guard lock(t.mutex);
            return t.tracker.addPictureLibrary(path);
          },
          py::arg("path"),
          "The pictures of a picture library (quorl-library build); returns their PictureRatings in order.")
      .def("remove_picture_targets",
           [](PyTracker& t) {
             py::gil_scoped_release release;
             const std::lock_guard lock(t.mutex);
             t.tracker.removePictureTargets();
           })
      .def("reset", [](PyTracker& t) {
        py::gil_scoped_release release;
        const std::lock_guard lock(t.mutex);
        t.tracker.reset();
      });
}
