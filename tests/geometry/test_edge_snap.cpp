// Clicks moved onto a target's edges: pictures of a light quad with sub-pixel corners on a textured ground, drawn
// sixteen times finer and averaged down, clicked at whole pixels. Snapped corners are expected within 0.25 px: the
// finer picture is drawn half a fine pixel large on each side (fillPoly's boundary), and a blob of the ground
// against an edge moves the edge found a little.
#include <gtest/gtest.h>

#include <random>

#include <opencv2/imgproc.hpp>

#include "geometry/edge_snap.h"

namespace quorl {
namespace {

constexpr int kFine = 16;

using Corners = std::array<cv::Point2f, 4>;

// Points of a picture kFine times finer, as fillPoly's sub-pixel vertices: pixel x of the picture covers fine pixels
// kFine x .. kFine x + kFine - 1, whose centre is kFine x + (kFine - 1) / 2.
std::vector<cv::Point> Fine(const std::vector<cv::Point2d>& points) {
  std::vector<cv::Point> fine;
  for (const cv::Point2d& p : points)
    fine.emplace_back(cvRound((kFine * p.x + (kFine - 1) / 2.0) * 16), cvRound((kFine * p.y + (kFine - 1) / 2.0) * 16));
  return fine;
}

// A 320 x 240 picture: grey blobs on a mid-grey ground, and the quad `corners` in a light grey with a dark frame line
// `inset` of the way in (a printed picture's border), then texture inside it.
cv::Mat QuadPicture(const Corners& corners, std::mt19937& random, double inset = 0.05) {
  cv::Mat fine(240 * kFine, 320 * kFine, CV_8UC1, cv::Scalar(110));
  std::uniform_real_distribution<double> x(0, 320), y(0, 240), radius(3, 12), grey(40, 180);
  for (int i = 0; i < 120; ++i)
    cv::circle(fine, cv::Point(cvRound(x(random) * kFine), cvRound(y(random) * kFine)), cvRound(radius(random) * kFine),
               cv::Scalar(grey(random)), cv::FILLED);
  cv::Point2d centre;
  for (const cv::Point2f& c : corners) centre += cv::Point2d(c) / 4.0;
  const auto shrunk = [&](double share) {
    std::vector<cv::Point2d> points;
    for (const cv::Point2f& c : corners) points.push_back(cv::Point2d(c) + (centre - cv::Point2d(c)) * share);
    return Fine(points);
  };
  cv::fillPoly(fine, std::vector<std::vector<cv::Point>>{shrunk(0.0)}, cv::Scalar(225), cv::LINE_8, 4);
  cv::fillPoly(fine, std::vector<std::vector<cv::Point>>{shrunk(inset)}, cv::Scalar(30), cv::LINE_8, 4);
  cv::fillPoly(fine, std::vector<std::vector<cv::Point>>{shrunk(inset + 0.01)}, cv::Scalar(215), cv::LINE_8, 4);
  for (int i = 0; i < 40; ++i) {
    const cv::Point2d p = centre + cv::Point2d(x(random) - 160, y(random) - 120) * 0.3;
    cv::circle(fine, Fine({p})[0], cvRound(radius(random) * kFine * 16), cv::Scalar(grey(random)), cv::FILLED,
               cv::LINE_8, 4);
  }
  cv::Mat picture;
  cv::resize(fine, picture, cv::Size(320, 240), 0, 0, cv::INTER_AREA);
  return picture;
}

Corners Rounded(const Corners& corners) {
  Corners rounded;
  for (int i = 0; i < 4; ++i) rounded[i] = cv::Point2f(std::round(corners[i].x), std::round(corners[i].y));
  return rounded;
}

double MeanDistance(const Corners& a, const Corners& b) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum += cv::norm(a[i] - b[i]) / 4.0;
  return sum;
}

TEST(EdgeSnap, WholePixelClicksMoveOntoTheCornersOfRandomQuads) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> jitter(-12.0f, 12.0f), slip(-1.2f, 1.2f);
  double before = 0.0, after = 0.0;
  int moved = 0;
  constexpr int kQuads = 60;
  for (int n = 0; n < kQuads; ++n) {
    // A perspective view of a rectangle: each corner of an upright 150 x 110 box moved by up to 12 px.
    Corners truth{cv::Point2f(85, 65), cv::Point2f(235, 65), cv::Point2f(235, 175), cv::Point2f(85, 175)};
    for (cv::Point2f& c : truth) c += cv::Point2f(jitter(random), jitter(random));
    // Every third quad's frame line a pixel inside its edge: too close to place the edge by, so left or placed right.
    const bool close = n % 3 == 2;
    const cv::Mat picture = QuadPicture(truth, random, close ? 0.015 : 0.05);
    // Clicks at whole pixels, every other quad also slipped by up to 1.2 px.
    Corners clicks = Rounded(truth);
    if (n % 2 == 1)
      for (cv::Point2f& c : clicks) c += cv::Point2f(std::round(slip(random)), std::round(slip(random)));
    const Corners snapped = SnapCornersToEdges(picture, clicks);
    // A corner moves onto the true one or not at all (a blob of the ground over a side leaves its corners).
    for (int i = 0; i < 4; ++i) {
      if (snapped[i] == clicks[i]) continue;
      EXPECT_LT(cv::norm(snapped[i] - truth[i]), 0.25) << "quad " << n << " corner " << i;
      moved += !close;
    }
    if (close) continue;
    before += MeanDistance(clicks, truth);
    after += MeanDistance(snapped, truth);
  }
  EXPECT_GT(moved, 4 * (2 * kQuads / 3) * 4 / 5);
  EXPECT_LT(after, before / 4) << "mean corner distance " << before << " px clicked, " << after << " px snapped";
}

TEST(EdgeSnap, CornersStayWhereTheirSidesShowNoStraightEdge) {
  std::mt19937 random(3);
  const Corners truth{cv::Point2f(80.3f, 60.6f), cv::Point2f(240.4f, 70.2f), cv::Point2f(230.7f, 180.5f),
                      cv::Point2f(90.2f, 170.4f)};
  const cv::Mat picture = QuadPicture(truth, random);
  // Clicked inside the quad's texture: no side runs along an edge.
  Corners inside;
  for (int i = 0; i < 4; ++i) inside[i] = truth[i] + (cv::Point2f(160, 120) - truth[i]) * 0.35f;
  EXPECT_EQ(SnapCornersToEdges(picture, Rounded(inside)), Rounded(inside));
  // The right side clicked 12 px inside the quad: its two corners stay, the other two snap.
  Corners clicks = Rounded(truth);
  clicks[1].x -= 12;
  clicks[2].x -= 12;
  const Corners snapped = SnapCornersToEdges(picture, clicks);
  EXPECT_EQ(snapped[1], clicks[1]);
  EXPECT_EQ(snapped[2], clicks[2]);
  EXPECT_LT(cv::norm(snapped[0] - truth[0]), 0.25);
  EXPECT_LT(cv::norm(snapped[3] - truth[3]), 0.25);
  // A flat picture, one too small to sample and one of another type leave every click.
  EXPECT_EQ(SnapCornersToEdges(cv::Mat(240, 320, CV_8UC1, cv::Scalar(90)), clicks), clicks);
  EXPECT_EQ(SnapCornersToEdges(cv::Mat(1, 1, CV_8UC1, cv::Scalar(90)), clicks), clicks);
  cv::Mat wide;
  picture.convertTo(wide, CV_16UC1);
  EXPECT_EQ(SnapCornersToEdges(wide, clicks), clicks);
}

}  // namespace
}  // namespace quorl
