#include "stream/pose_message.h"

#include <chrono>

#include <nlohmann/json.hpp>

namespace quorl {
namespace {

// Keys in the order docs/pose-message.schema.json lists them. Numbers that are not finite dump as null.
using Json = nlohmann::ordered_json;

template <int Rows, int Cols>
Json Matrix(const cv::Matx<double, Rows, Cols>& m, int rows, int cols) {
  Json out = Json::array();
  for (int r = 0; r < rows; ++r) {
    Json row = Json::array();
    for (int c = 0; c < cols; ++c) row.push_back(m(r, c));
    out.push_back(std::move(row));
  }
  return out;
}

}  // namespace

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string PoseMessage(long long frame, double time, int width, int height, const FrameReport& report) {
  Json list = Json::array();
  for (const TargetReport& t : report.targets) {
    Json corners = Json::array();
    for (const cv::Point2d& p : t.corners) corners.push_back({p.x, p.y});
    Json pose = nullptr;
    if (t.pose) {
      const cv::Matx44d& m = *t.pose;
      pose = {{"rotation", Matrix(m, 3, 3)}, {"translation", {m(0, 3), m(1, 3), m(2, 3)}}};
    }
    list.push_back({{"name", t.name},
                    {"state", TrackingStateName(t.state)},
                    {"corners", std::move(corners)},
                    {"homography", Matrix(t.homography, 3, 3)},
                    {"pose", std::move(pose)},
                    {"keypoints", report.keypoints},
                    {"matches", t.matches},
                    {"inliers", t.inliers}});
  }
  const Json message = {{"frame", frame}, {"time", time}, {"size", {width, height}}, {"targets", std::move(list)}};
  // Bytes of a name that are not UTF-8 (a file named in Latin-1) become U+FFFD.
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quorl
