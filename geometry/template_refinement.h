#pragma once
// Homography refinement against the registered template: inverse-compositional alignment of a few
// thousand high-gradient template pixels, with the frame's gain and offset normalised away, on a small
// pyramid. Its normalised correlation tells how well the warped template agrees with the frame.

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/lens.h"
#include "features/robust_params.h"

namespace quorl {

// Pyramid levels of the template (each half the size of the one before).
inline constexpr int kTemplateLevels = 3;

// One pyramid level: positions in registered-frame pixels, template values and the steepest-descent
// rows of the 8 warp parameters. The warp acts on normalised coordinates ((x, y) - centre) / scale.
struct TemplateLevel {
  int level = 0;
  std::vector<cv::Point2f> points;
  std::vector<float> values;
  std::vector<cv::Vec<float, 8>> steepest;
};

// Built once per registration; read-only afterwards, so several frames may use it in turn.
struct RefinementTemplate {
  std::array<TemplateLevel, kTemplateLevels> levels;
  cv::Point2d centre;  // of the quad, registered-frame pixels
  double scale = 1.0;  // half the quad's diagonal
  bool empty() const { return levels[0].points.empty(); }
};

// Samples `gray` (the registered frame, CV_8UC1) inside the quad `corners` (registered-frame pixels, any turning
// direction): per grid cell the strongest gradient, at most params.templateSamples per level, none within
// params.templateEdgeMargin of the quad's edges. A quad with no usable pixel gives an empty template.
RefinementTemplate BuildRefinementTemplate(const cv::Mat& gray, const std::array<cv::Point2f, 4>& corners,
                                           const RobustParams& params);

// Appends to `lvl` (of template `t`, whose centre and scale are set) the sample at pixel `at` of the level's image,
// with the image's `value` and Sobel gradient (gx, gy) there, in grey levels per level pixel.
void AddTemplateSample(TemplateLevel& lvl, const RefinementTemplate& t, cv::Point at, uint8_t value, float gx, float gy);
// What AddTemplateSample was given for sample `i` of `lvl`: its level pixel, and its gradient, exactly (for storing a
// template compactly and rebuilding it bit for bit).
cv::Point LevelPixel(const TemplateLevel& lvl, std::size_t i);
cv::Point2f LevelGradient(const TemplateLevel& lvl, const RefinementTemplate& t, std::size_t i);

// Result of a refinement: the homography (model to frame pixels), and the correlation of the warped template with the
// frame (-1..1) and the share of samples inside the frame, both measured for that very homography at the finest level
// that ran (-1 and 0 when none did).
struct RefinementResult {
  cv::Matx33d homography;
  double correlation = -1.0;
  double coverage = 0.0;
  bool converged = false;
};

// Refines `modelToFrame` against `pyramid` (the frame, CV_8UC1, level 0 first, each half the size of the one before),
// from template level `coarsest` down to `finest` (0 <= finest <= coarsest < kTemplateLevels). Template level t is
// aligned with frame level t, for up to params.refineIterations steps per level. A level with fewer than
// params.minLevelSamples samples inside the frame stops the refinement with the last level's result; a singular step
// stops it with what this level reached. `affineOnly` keeps the two perspective parameters of the update at zero, for
// views that show too little of the target to fix them. With a `lens` (for the frame's size) the homography maps to
// ideal pixels, which the lens carries to the frame's.
RefinementResult RefineHomography(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid,
                                  const cv::Matx33d& modelToFrame, int coarsest, int finest, const RobustParams& params,
                                  bool affineOnly = false, const FrameLens* lens = nullptr);

// Correlation only: the warped template at `level` against frame level `level`, no update.
RefinementResult MeasureAgreement(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid,
                                  const cv::Matx33d& modelToFrame, int level, const FrameLens* lens = nullptr);

}  // namespace quorl
