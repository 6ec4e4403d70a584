#include "stream/pose_message.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace quorl {
namespace {

void Number(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  out += text;
}

// JSON string: quotes, backslashes and control characters escaped.
void Text(std::string& out, const std::string& s) {
  out += '"';
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

template <int Rows, int Cols>
void Matrix(std::string& out, const cv::Matx<double, Rows, Cols>& m, int rows, int cols) {
  out += '[';
  for (int r = 0; r < rows; ++r) {
    out += r == 0 ? "[" : ",[";
    for (int c = 0; c < cols; ++c) {
      if (c > 0) out += ',';
      Number(out, m(r, c));
    }
    out += ']';
  }
  out += ']';
}

}  // namespace

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string PoseMessage(long long frame, double time, int width, int height, int keypoints,
                        const std::vector<TargetReport>& targets) {
  std::string out = "{\"frame\":" + std::to_string(frame) + ",\"time\":";
  Number(out, time);
  out += ",\"size\":[" + std::to_string(width) + "," + std::to_string(height) + "],\"targets\":[";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const TargetReport& t = targets[i];
    out += i == 0 ? "{\"name\":" : ",{\"name\":";
    Text(out, t.name);
    out += ",\"state\":";
    Text(out, TrackingStateName(t.state));
    out += ",\"corners\":[";
    for (int k = 0; k < 4; ++k) {
      out += k == 0 ? "[" : ",[";
      Number(out, t.corners[k].x);
      out += ',';
      Number(out, t.corners[k].y);
      out += ']';
    }
    out += "],\"homography\":";
    Matrix(out, t.homography, 3, 3);
    out += ",\"pose\":";
    if (t.pose) {
      out += "{\"rotation\":";
      Matrix(out, *t.pose, 3, 3);
      out += ",\"translation\":[";
      for (int k = 0; k < 3; ++k) {
        if (k > 0) out += ',';
        Number(out, (*t.pose)(k, 3));
      }
      out += "]}";
    } else {
      out += "null";
    }
    out += ",\"keypoints\":" + std::to_string(keypoints) + ",\"matches\":" + std::to_string(t.matches) +
           ",\"inliers\":" + std::to_string(t.inliers) + "}";
  }
  out += "]}";
  return out;
}

}  // namespace quorl
