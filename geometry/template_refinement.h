#pragma once
// Homography refinement against the registered template: inverse-compositional alignment of a few
// thousand high-gradient template pixels, with the frame's gain and offset normalised away, on a small
// pyramid. Its normalised correlation tells how well the warped template agrees with the frame.

#include <array>
#include <vector>

#include <opencv2/core.hpp>

namespace quorl {

// Pyramid levels of the template (each half the size of the one before).
inline constexpr int kTemplateLevels = 3;
// Samples kept per level: the strongest gradient of each grid cell, at most this many in all.
inline constexpr int kTemplateSamples = 1500;
// Samples closer than this (template pixels of the level) to the registered quad's edges are not taken,
// so that no sample straddles the target's border.
inline constexpr double kTemplateEdgeMargin = 3.0;
// Iterations per level, and the corner shift (frame pixels of the level) under which a level stops.
inline constexpr int kRefineIterations = 8;
inline constexpr double kRefineConvergence = 0.02;
// A sample whose residual exceeds this many robust standard deviations gets no weight (occluders).
inline constexpr double kRefineOutlierSigmas = 3.0;

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

// Samples `gray` (the registered frame, CV_8UC1) inside the quad `corners` (registered-frame pixels, any
// turning direction). A quad with no usable pixel gives an empty template.
RefinementTemplate BuildRefinementTemplate(const cv::Mat& gray, const std::array<cv::Point2f, 4>& corners);

// Result of a refinement: the homography (model to frame pixels), the correlation of the warped template
// with the frame at the finest level that ran (-1..1), and the share of samples that fell inside the frame.
struct RefinementResult {
  cv::Matx33d homography;
  double correlation = -1.0;
  double coverage = 0.0;
  bool converged = false;
};

// Refines `modelToFrame` against `pyramid` (the frame, CV_8UC1, level 0 first, each half the size of the
// one before), from template level `coarsest` down to `finest` (0 <= finest <= coarsest < kTemplateLevels).
// Template level t is aligned with frame level t. A level with fewer than 8 samples inside the frame, or
// a singular step, stops the refinement with what was reached. `affineOnly` keeps the two perspective
// parameters of the update at zero, for views that show too little of the target to fix them.
RefinementResult RefineHomography(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid,
                                  const cv::Matx33d& modelToFrame, int coarsest, int finest,
                                  bool affineOnly = false);

// Correlation only: the warped template at `level` against frame level `level`, no update.
RefinementResult MeasureAgreement(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid,
                                  const cv::Matx33d& modelToFrame, int level);

}  // namespace quorl
