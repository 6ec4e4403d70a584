#include "tests/library/sample_pictures.h"

#include <string>

#include <opencv2/imgproc.hpp>

namespace quorl {

cv::Mat MakeSamplePicture(uint32_t seed, cv::Size size) {
  cv::RNG rng(seed * 2654435761u + 1u);
  // Colour blobs: uniform noise on a coarse grid, enlarged smoothly and lightened.
  cv::Mat coarse(std::max(2, size.height / 24), std::max(2, size.width / 24), CV_8UC3);
  rng.fill(coarse, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(255));  // not the shared generator
  cv::Mat picture;
  cv::resize(coarse, picture, size, 0, 0, cv::INTER_CUBIC);
  picture = picture * 0.5 + cv::Scalar::all(110);
  const auto colour = [&] { return cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)); };
  const auto point = [&] { return cv::Point(rng.uniform(0, size.width), rng.uniform(0, size.height)); };
  const int unit = std::max(4, std::min(size.width, size.height) / 16);
  for (int i = 0; i < 40; ++i) {
    const int thickness = rng.uniform(0, 3) == 0 ? cv::FILLED : rng.uniform(1, 4);
    switch (rng.uniform(0, 4)) {
      case 0: cv::circle(picture, point(), rng.uniform(unit / 4, unit * 2), colour(), thickness, cv::LINE_AA); break;
      case 1: {
        const cv::Point a = point();
        cv::rectangle(picture, a, a + cv::Point(rng.uniform(-2 * unit, 2 * unit), rng.uniform(-2 * unit, 2 * unit)),
                      colour(), thickness, cv::LINE_AA);
        break;
      }
      case 2: cv::line(picture, point(), point(), colour(), rng.uniform(1, 4), cv::LINE_AA); break;
      default: {
        std::vector<cv::Point> polygon = {point(), point(), point()};
        cv::fillPoly(picture, std::vector<std::vector<cv::Point>>{polygon}, colour(), cv::LINE_AA);
      }
    }
  }
  for (int i = 0; i < 8; ++i)
    cv::putText(picture, std::to_string(rng.uniform(0, 1000000)), point(), cv::FONT_HERSHEY_SIMPLEX,
                unit * rng.uniform(0.02, 0.06), cv::Scalar::all(rng.uniform(0, 2) * 230), rng.uniform(1, 3),
                cv::LINE_AA);
  return picture;
}

cv::Mat MakeSampleCard(uint32_t seed, int number, cv::Size size) {
  cv::Mat card(size, CV_8UC3, cv::Scalar::all(235));
  const int strip = size.height / 6;
  MakeSamplePicture(seed, cv::Size(size.width - 8, size.height - strip - 4))
      .copyTo(card(cv::Rect(4, strip, size.width - 8, size.height - strip - 4)));
  cv::putText(card, std::to_string(number), cv::Point(4, strip - 6), cv::FONT_HERSHEY_SIMPLEX, strip / 30.0,
              cv::Scalar(0, 0, 170), std::max(1, strip / 12), cv::LINE_AA);
  cv::circle(card, cv::Point(size.width - strip / 2 - 2, strip / 2), strip / 2 - 2,
             cv::Scalar::all(40 + (number * 37) % 160), cv::FILLED, cv::LINE_AA);
  return card;
}

cv::Mat MakeHalfTurnPicture(uint32_t seed, cv::Size size, bool marked) {
  cv::Mat picture = MakeSamplePicture(seed, size);
  const int half = size.height / 2;
  cv::rotate(picture(cv::Rect(0, 0, size.width, half)), picture(cv::Rect(0, size.height - half, size.width, half)),
             cv::ROTATE_180);
  // Its centre of symmetry half a pixel off the picture's, as a drawing rendered to pixels often has it.
  cv::warpAffine(picture, picture, cv::Matx23d(1, 0, 0.5, 0, 1, 0.5), size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  if (marked)
    cv::circle(picture, cv::Point(size.width / 5, size.height / 5), std::min(size.width, size.height) / 10,
               cv::Scalar::all(20), cv::FILLED, cv::LINE_AA);
  return picture;
}

}  // namespace quorl
