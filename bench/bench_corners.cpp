// DetectCorners against OpenCV's FAST with suppression on the same textured pictures.
#include <benchmark/benchmark.h>

#include <random>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "image/corners.h"

namespace {

// Blurred shapes and text with mild noise: a few hundred to a few thousand corners at barrier 20..40.
cv::Mat texturedPicture(int w, int h) {
  std::mt19937 rng(11);
  cv::Mat m(h, w, CV_8UC1, cv::Scalar(120));
  for (int i = 0; i < w * h / 600; ++i) {
    const cv::Point c(static_cast<int>(rng() % w), static_cast<int>(rng() % h));
    const cv::Scalar v(static_cast<double>(rng() % 256));
    switch (i % 3) {
      case 0: cv::circle(m, c, 2 + static_cast<int>(rng() % 15), v, cv::FILLED); break;
      case 1: cv::rectangle(m, c, c + cv::Point(4 + rng() % 25, 4 + rng() % 25), v, cv::FILLED); break;
      default: cv::putText(m, "Qr7", c, cv::FONT_HERSHEY_SIMPLEX, 0.4 + (rng() % 10) / 10.0, v, 1); break;
    }
  }
  cv::GaussianBlur(m, m, cv::Size(3, 3), 0.7);
  cv::Mat noise(h, w, CV_8SC1);
  cv::RNG(5).fill(noise, cv::RNG::NORMAL, 0, 2);
  cv::add(m, noise, m, cv::noArray(), CV_8U);
  return m;
}

quorl::GrayImage toGray(const cv::Mat& m) {
  quorl::GrayImage g;
  g.CreateImage(m.cols, m.rows);
  for (int y = 0; y < m.rows; ++y) std::copy(m.ptr<uint8_t>(y), m.ptr<uint8_t>(y) + m.cols, g.rows[y]);
  return g;
}

constexpr int kBarrier = 30;

void BM_DetectCorners(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = w * 3 / 4, n = static_cast<int>(state.range(1));
  const quorl::GrayImage g = toGray(texturedPicture(w, h));
  std::size_t found = 0;
  for (auto _ : state) {
    const auto corners = quorl::DetectCorners(g, n, kBarrier);
    found = corners.size();
    benchmark::DoNotOptimize(corners.data());
  }
  state.counters["corners"] = static_cast<double>(found);
}

void BM_OpenCvFast(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = w * 3 / 4;
  const auto type = state.range(1) == 9 ? cv::FastFeatureDetector::TYPE_9_16 : cv::FastFeatureDetector::TYPE_7_12;
  const cv::Mat m = texturedPicture(w, h);
  std::vector<cv::KeyPoint> kps;
  for (auto _ : state) {
    cv::FAST(m, kps, kBarrier, true, type);
    benchmark::DoNotOptimize(kps.data());
  }
  state.counters["corners"] = static_cast<double>(kps.size());
}

}  // namespace

// Arguments: width (height is 3/4 of it), arc length. OpenCV offers no 10-of-16 variant, so the
// 9-of-16 figure is the comparison for both arc lengths.
BENCHMARK(BM_DetectCorners)->Args({320, 9})->Args({320, 10})->Args({640, 9})->Args({640, 10})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvFast)->Args({320, 9})->Args({640, 9})->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
