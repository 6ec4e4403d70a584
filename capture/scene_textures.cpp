#include "capture/scene_textures.h"

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace quorl {
namespace {

cv::Scalar darkColour(cv::RNG& rng) {
  // Grey level at most about 110, so every shape stands out from the paper.
  const int hue = rng.uniform(0, 6);
  const int lo = rng.uniform(0, 40), hi = rng.uniform(90, 170);
  const int b = (hue == 0 || hue == 3) ? hi : lo;
  const int g = (hue == 1 || hue == 4) ? hi : lo;
  const int r = (hue == 2 || hue == 5) ? hi : lo;
  return hue >= 3 ? cv::Scalar(lo / 2, lo / 2, lo / 2) + cv::Scalar(b, g, r) * 0.5 : cv::Scalar(b, g, r);
}

std::vector<cv::Point> regularPolygon(cv::Point2d centre, double radius, int sides, double turn, bool star) {
  std::vector<cv::Point> pts;
  const int n = star ? sides * 2 : sides;
  for (int i = 0; i < n; ++i) {
    const double a = turn + 2.0 * CV_PI * i / n;
    const double r = (star && (i % 2 == 1)) ? radius * 0.45 : radius;
    pts.emplace_back(cvRound(centre.x + r * std::cos(a)), cvRound(centre.y + r * std::sin(a)));
  }
  return pts;
}

// One shape centred in a cell of side `cell` at `origin`.
void drawCell(cv::Mat& t, cv::RNG& rng, cv::Point origin, int cell, int kind) {
  const cv::Point2d c(origin.x + cell / 2.0, origin.y + cell / 2.0);
  const double r = cell * rng.uniform(0.30, 0.42);
  const cv::Scalar col = darkColour(rng);
  const double turn = rng.uniform(0.0, CV_PI);
  switch (kind) {
    case 0: {  // polygon with 3 to 6 sides
      const auto pts = regularPolygon(c, r, rng.uniform(3, 7), turn, false);
      cv::fillConvexPoly(t, pts, col, cv::LINE_AA);
      break;
    }
    case 1: {  // star
      const auto pts = regularPolygon(c, r, rng.uniform(4, 7), turn, true);
      cv::fillPoly(t, std::vector<std::vector<cv::Point>>{pts}, col, cv::LINE_AA);
      break;
    }
    case 2: {  // disc with a notch and a ring
      cv::circle(t, c, cvRound(r), col, cv::FILLED, cv::LINE_AA);
      cv::rectangle(t, cv::Rect(cvRound(c.x), cvRound(c.y - r * 0.2), cvRound(r), cvRound(r * 0.4)),
                    cv::Scalar(236, 238, 240), cv::FILLED);
      cv::circle(t, c, cvRound(r * 0.45), cv::Scalar(236, 238, 240), 4, cv::LINE_AA);
      break;
    }
    case 3: {  // checker patch
      const int sq = cell / 8;
      const cv::Point corner(origin.x + cell / 2 - 5 * sq / 2, origin.y + cell / 2 - 5 * sq / 2);
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
          if ((x + y) % 2 == 0) cv::rectangle(t, cv::Rect(corner + cv::Point(x, y) * sq, cv::Size(sq, sq)), col, -1);
      break;
    }
    case 4: {  // rotated bars
      const cv::RotatedRect rr(c, cv::Size2f(static_cast<float>(2 * r), static_cast<float>(r * 0.5)),
                               static_cast<float>(turn * 180.0 / CV_PI));
      cv::Point2f v[4];
      rr.points(v);
      std::vector<cv::Point> pts(v, v + 4);
      cv::fillConvexPoly(t, pts, col, cv::LINE_AA);
      const cv::RotatedRect rr2(c, rr.size, rr.angle + 90.0f);
      rr2.points(v);
      pts.assign(v, v + 4);
      cv::fillConvexPoly(t, pts, darkColour(rng), cv::LINE_AA);
      break;
    }
    default: {  // one big glyph
      static const char* const kGlyphs[] = {"A", "K", "R", "7", "Q", "F", "4", "M", "Z", "E"};
      const char* g = kGlyphs[rng.uniform(0, 10)];
      int base = 0;
      const cv::Size sz = cv::getTextSize(g, cv::FONT_HERSHEY_DUPLEX, 3.0, 7, &base);
      cv::putText(t, g, cv::Point(cvRound(c.x - sz.width / 2.0), cvRound(c.y + sz.height / 2.0)),
                  cv::FONT_HERSHEY_DUPLEX, 3.0, col, 7, cv::LINE_AA);
      break;
    }
  }
}

// Calls draw(offset) at the nine offsets of a tile of side `side` and its neighbours, so that a shape crossing
// an edge comes back at the opposite one. `rng` is rewound before each call, so all nine copies are alike.
template <typename Draw>
void drawWrapped(int side, cv::RNG& rng, Draw&& draw) {
  const cv::RNG start = rng;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      rng = start;
      draw(cv::Point(dx * side, dy * side));
    }
}

}  // namespace

cv::Mat MakeTargetTexture() {
  const int side = kTargetTextureSide;
  cv::Mat t(side, side, CV_8UC3, cv::Scalar(236, 238, 240));
  cv::RNG rng(0x51756f72u);

  // A 4 x 4 grid of shapes inside a thin dark frame.
  const int margin = side / 32, cell = (side - 2 * margin) / 4;
  for (int gy = 0; gy < 4; ++gy)
    for (int gx = 0; gx < 4; ++gx)
      drawCell(t, rng, cv::Point(margin + gx * cell, margin + gy * cell), cell, (gx + 3 * gy + rng.uniform(0, 2)) % 6);

  // Thin straight lines across the whole face.
  for (int i = 0; i < 9; ++i) {
    const cv::Point a(rng.uniform(0, side), rng.uniform(0, side)), b(rng.uniform(0, side), rng.uniform(0, side));
    cv::line(t, a, b, darkColour(rng), rng.uniform(2, 5), cv::LINE_AA);
  }

  // Text on a light band through the middle, and small print along the bottom.
  cv::rectangle(t, cv::Rect(margin, side / 2 - 44, side - 2 * margin, 88), cv::Scalar(236, 238, 240), cv::FILLED);
  cv::putText(t, "QUORL", cv::Point(side / 2 - 200, side / 2 + 34), cv::FONT_HERSHEY_TRIPLEX, 3.0,
              cv::Scalar(20, 20, 20), 7, cv::LINE_AA);
  cv::putText(t, "AR 2.0 / keypoint target 7E", cv::Point(margin + 8, side - margin - 10), cv::FONT_HERSHEY_SIMPLEX,
              0.9, cv::Scalar(40, 30, 120), 2, cv::LINE_AA);

  cv::rectangle(t, cv::Rect(margin / 2, margin / 2, side - margin, side - margin), cv::Scalar(30, 30, 30), 3);
  return t;
}

cv::Mat MakeBackgroundTile() {
  const int side = kBackgroundTileSide;
  cv::Mat t(side, side, CV_8UC3, cv::Scalar(78, 98, 118));
  cv::RNG rng(0x7461626cu);

  auto muted = [&]() {
    const double base = rng.uniform(20.0, 215.0);
    return cv::Scalar(base * rng.uniform(0.75, 1.0), base * rng.uniform(0.8, 1.05), base * rng.uniform(0.85, 1.1));
  };

  // Wood-like streaks first, then scattered clutter.
  for (int i = 0; i < 60; ++i) {
    const int y = rng.uniform(0, side), thick = rng.uniform(2, 7);
    const double amp = rng.uniform(2.0, 10.0), freq = rng.uniform(1, 4) * 2.0 * CV_PI / side;
    const cv::Scalar col = cv::Scalar(78, 98, 118) * rng.uniform(0.7, 1.3);
    std::vector<cv::Point> pts;
    for (int x = 0; x <= side; x += 16) pts.emplace_back(x, y + cvRound(amp * std::sin(freq * x)));
    drawWrapped(side, rng, [&](cv::Point o) {
      std::vector<cv::Point> moved(pts);
      for (auto& p : moved) p += o;
      cv::polylines(t, moved, false, col, thick, cv::LINE_AA);
    });
  }
  for (int i = 0; i < 2000; ++i) {
    const cv::Point2f c(rng.uniform(0.0f, float(side)), rng.uniform(0.0f, float(side)));
    const cv::Scalar col = muted();
    const int kind = rng.uniform(0, 4);
    const float w = rng.uniform(6.0f, 30.0f), h = rng.uniform(4.0f, 20.0f), angle = rng.uniform(0.0f, 180.0f);
    drawWrapped(side, rng, [&](cv::Point o) {
      const cv::Point2f at = c + cv::Point2f(o);
      switch (kind) {
        case 0: {
          cv::Point2f v[4];
          cv::RotatedRect(at, cv::Size2f(w, h), angle).points(v);
          std::vector<cv::Point> pts(v, v + 4);
          cv::fillConvexPoly(t, pts, col);
          break;
        }
        case 1:
          cv::ellipse(t, cv::RotatedRect(at, cv::Size2f(w, h), angle), col, cv::FILLED, cv::LINE_AA);
          break;
        case 2: {
          const cv::Point2f d(std::cos(angle) * w, std::sin(angle) * w);
          cv::line(t, at - d * 0.5f, at + d * 0.5f, col, 2, cv::LINE_AA);
          break;
        }
        default:
          cv::circle(t, at, cvRound(h / 2), col, 2, cv::LINE_AA);
          break;
      }
    });
  }
  return t;
}

cv::Mat MakeClutterTile() {
  const int side = kBackgroundTileSide;
  cv::Mat t(side, side, CV_8UC3, cv::Scalar(96, 104, 112));
  cv::RNG rng(0x62757379u);
  // Each draw is a statement of its own, so that the order of draws (and the tile) is the same whatever
  // order a compiler evaluates function arguments in.
  auto uniform = [&rng](float lo, float hi) { return rng.uniform(lo, hi); };
  auto anyPoint = [&](cv::Point o) {
    const float x = uniform(0.0f, float(side)) + float(o.x);
    return cv::Point2f(x, uniform(0.0f, float(side)) + float(o.y));
  };

  // Overlapping papers, cards and packaging, light or dark, each printed with shapes like the target's,
  // a word and a rule.
  static const char* const kWords[] = {"SALE", "Notes", "42", "AR", "box", "K7", "Menu", "QR", "zip", "Tea"};
  for (int i = 0; i < 220; ++i) {
    drawWrapped(side, rng, [&](cv::Point o) {
      const cv::Point2f c = anyPoint(o);
      const float w = uniform(50.0f, 200.0f), h = uniform(50.0f, 200.0f), turn = uniform(0.0f, 180.0f);
      const bool light = rng.uniform(0, 3) > 0;
      const float base = light ? uniform(170.0f, 250.0f) : uniform(15.0f, 70.0f);
      const float b = base * uniform(0.8f, 1.0f), g = base * uniform(0.85f, 1.0f), r = base * uniform(0.85f, 1.0f);
      cv::Point2f v[4];
      cv::RotatedRect(c, cv::Size2f(w, h), turn).points(v);
      cv::fillConvexPoly(t, std::vector<cv::Point>(v, v + 4), cv::Scalar(b, g, r), cv::LINE_AA);
      const int shapes = rng.uniform(1, 4);
      for (int k = 0; k < shapes; ++k) {
        const int cell = rng.uniform(36, 90), kind = rng.uniform(0, 6);
        const float dx = uniform(-0.3f, 0.3f) * w, dy = uniform(-0.3f, 0.3f) * h;
        drawCell(t, rng, cv::Point(cvRound(c.x + dx) - cell / 2, cvRound(c.y + dy) - cell / 2), cell, kind);
      }
      const cv::Scalar ink = light ? cv::Scalar(30, 30, 30) : cv::Scalar(230, 235, 240);
      const char* word = kWords[rng.uniform(0, 10)];
      const double scale = rng.uniform(0.6, 1.6);
      const int thickness = rng.uniform(1, 4);
      cv::putText(t, word, cv::Point(cvRound(c.x - w / 3), cvRound(c.y)), cv::FONT_HERSHEY_SIMPLEX, scale, ink,
                  thickness, cv::LINE_AA);
      cv::line(t, v[0], v[2], ink, 1, cv::LINE_AA);
    });
  }
  // Small high-contrast marks all over: dark or bright dots and dashes.
  for (int i = 0; i < 1500; ++i) {
    drawWrapped(side, rng, [&](cv::Point o) {
      const cv::Point2f at = anyPoint(o);
      const cv::Scalar col = cv::Scalar::all(rng.uniform(0, 2) ? rng.uniform(0, 60) : rng.uniform(200, 256));
      const float w = uniform(3.0f, 14.0f), angle = uniform(0.0f, float(CV_PI));
      if (rng.uniform(0, 2)) {
        cv::ellipse(t, cv::RotatedRect(at, cv::Size2f(w, w * 0.6f), angle * float(180.0 / CV_PI)), col, cv::FILLED,
                    cv::LINE_AA);
      } else {
        const cv::Point2f d(std::cos(angle) * w, std::sin(angle) * w);
        cv::line(t, at - d, at + d, col, 2, cv::LINE_AA);
      }
    });
  }
  return t;
}

}  // namespace quorl
