#include <gtest/gtest.h>

#include <GL/gl.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QSurfaceFormat>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "camera/camera_param.h"
#include "camera/camera_setup.h"
#include "render/gl_render.h"

namespace quorl {
namespace {

// One compatibility-profile context on an offscreen surface for the whole run; needs an X display.
class GlEnvironment : public ::testing::Environment {
 public:
  static inline QOpenGLContext* context = nullptr;

  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_render";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QGuiApplication>(argc, argv);
    InitGlut();
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    surface_ = std::make_unique<QOffscreenSurface>();
    surface_->setFormat(format);
    surface_->create();
    context_ = std::make_unique<QOpenGLContext>();
    context_->setFormat(format);
    ASSERT_TRUE(context_->create()) << "no OpenGL context (is an X display available?)";
    ASSERT_TRUE(context_->makeCurrent(surface_.get()));
    context = context_.get();
  }
  void TearDown() override {
    context = nullptr;
    context_->doneCurrent();
    context_.reset();
    surface_.reset();
    app_.reset();
  }

 private:
  std::unique_ptr<QGuiApplication> app_;
  std::unique_ptr<QOffscreenSurface> surface_;
  std::unique_ptr<QOpenGLContext> context_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GlEnvironment);

// Renders into a w x h framebuffer with a depth buffer and reads it back as top-down BGR rows.
class RenderTarget {
 public:
  RenderTarget(int w, int h)
      : w_(w), h_(h), fbo_(w, h, QOpenGLFramebufferObject::CombinedDepthStencil) {
    fbo_.bind();
    glViewport(0, 0, w, h);
  }
  ~RenderTarget() { fbo_.release(); }

  std::vector<uint8_t> pixelsTopDown() const {
    std::vector<uint8_t> bottomUp(static_cast<std::size_t>(w_) * h_ * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w_, h_, GL_BGR, GL_UNSIGNED_BYTE, bottomUp.data());
    std::vector<uint8_t> out(bottomUp.size());
    const std::size_t row = static_cast<std::size_t>(w_) * 3;
    for (int y = 0; y < h_; ++y)
      std::copy_n(bottomUp.begin() + static_cast<std::ptrdiff_t>((h_ - 1 - y) * row), row,
                  out.begin() + static_cast<std::ptrdiff_t>(y * row));
    return out;
  }

 private:
  int w_, h_;
  QOpenGLFramebufferObject fbo_;
};

DibImage randomPicture(int w, int h, unsigned seed) {
  DibImage d;
  d.CreateRgbDib(w, h);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x) d.rows24()[y][x] = static_cast<uint8_t>(rng());
  return d;
}

DibImage flatPicture(int w, int h, uint8_t value) {
  DibImage d;
  d.CreateRgbDib(w, h);
  for (int y = 0; y < h; ++y) std::fill_n(d.rows24()[y], 3 * w, value);
  return d;
}

constexpr std::array<double, 16> kNoPose{};

GlMatrix pinholeProjection(int w, int h, double focal) {
  const CameraParam mirrored = mirrorImageRows(makePinholeCameraParam(w, h, focal));
  return buildGLProjection(mirrored, 50.0, 5000.0).value();
}

// Row-major pose: no rotation, the model origin at (tx, ty, tz) in camera space.
std::array<double, 16> translation(double tx, double ty, double tz) {
  return {1, 0, 0, tx, 0, 1, 0, ty, 0, 0, 1, tz, 0, 0, 0, 1};
}

TEST(Render, PixelOffsetSkipsHeaderAndColourTable) {
  DibImage rgb;
  rgb.CreateRgbDib(5, 3);
  EXPECT_EQ(DibPixelOffset(rgb.dib()), 40u);
  std::vector<uint8_t> gray(rgb.dib(), rgb.dib() + 40);
  gray[14] = 8;
  EXPECT_EQ(DibPixelOffset(gray.data()), 40u + 1024u);
}

TEST(Render, ColumnMajorKeepsTheTranslationColumn) {
  const GlMatrix m = ColumnMajor(translation(7, 8, 9));
  EXPECT_EQ(m[12], 7);
  EXPECT_EQ(m[13], 8);
  EXPECT_EQ(m[14], 9);
  EXPECT_EQ(m[3], 0);
  EXPECT_EQ(m[15], 1);
}

// The background shows every picture pixel at its own place, top row at the top, for widths whose rows
// carry padding and for widths that do not.
TEST(Render, BackgroundIsPixelExactAndUpright) {
  for (int w : {64, 61, 33}) {
    const int h = 37;
    RenderTarget target(w, h);
    GlContext gl;
    SetupRendering(gl, w, h, w, h, pinholeProjection(w, h, 60));
    const DibImage picture = randomPicture(w, h, static_cast<unsigned>(w));
    RenderFrame(gl, picture, picture, 0, pinholeProjection(w, h, 60), kNoPose);
    const std::vector<uint8_t> px = target.pixelsTopDown();
    int mismatches = 0;
    for (int y = 0; y < h; ++y)
      mismatches += std::memcmp(px.data() + static_cast<std::size_t>(y) * w * 3, picture.rows24()[y],
                                static_cast<std::size_t>(w) * 3) != 0;
    EXPECT_EQ(mismatches, 0) << "width " << w;
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    ReleaseBackgroundTexture(gl);
    EXPECT_EQ(gl.backgroundTexture, 0u);
  }
}

TEST(Render, PictureOfAnotherSizeRedefinesTheTexture) {
  RenderTarget target(40, 30);
  GlContext gl;
  CreateBackgroundTexture(gl, 20, 10);
  const DibImage picture = randomPicture(40, 30, 3);
  ASSERT_TRUE(UpdateBackgroundTexture(gl, picture));
  EXPECT_EQ(gl.textureWidth, 40);
  EXPECT_EQ(gl.textureHeight, 30);
  DrawBackground(gl);
  const std::vector<uint8_t> px = target.pixelsTopDown();
  EXPECT_EQ(std::memcmp(px.data() + 29 * 40 * 3, picture.rows24()[29], 40 * 3), 0);
  ReleaseBackgroundTexture(gl);
}

TEST(Render, RefusesPicturesItCannotUpload) {
  GlContext gl;
  EXPECT_FALSE(UpdateBackgroundTexture(gl, DibImage{}));
  EXPECT_EQ(gl.backgroundTexture, 0u);
}

TEST(Render, OrthoBracketRestoresEnablesAndMatrices) {
  glEnable(GL_LIGHTING);
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
  glDisable(GL_TEXTURE_2D);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(-3, 5, -2, 7, -1, 9);
  glMatrixMode(GL_TEXTURE);
  glLoadIdentity();
  glScaled(2, 3, 4);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glTranslated(1, 2, 3);
  auto matrices = [] {
    std::array<GLdouble, 48> m{};
    glGetDoublev(GL_PROJECTION_MATRIX, m.data());
    glGetDoublev(GL_TEXTURE_MATRIX, m.data() + 16);
    glGetDoublev(GL_MODELVIEW_MATRIX, m.data() + 32);
    return m;
  };
  const auto before = matrices();
  GlContext gl{0, 16, 8};
  BeginOrtho(gl);
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
  EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
  EndOrtho();
  EXPECT_EQ(matrices(), before);
  EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  EXPECT_FALSE(glIsEnabled(GL_BLEND));
  EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
  GLint mode = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(mode, GL_MODELVIEW);
  glDisable(GL_LIGHTING);
}

struct Box {
  int x0, y0, x1, y1;
};

// Pixels inside `box` that differ from the flat background value.
int changedPixels(const std::vector<uint8_t>& px, int w, Box box, uint8_t background) {
  int n = 0;
  for (int y = box.y0; y < box.y1; ++y)
    for (int x = box.x0; x < box.x1; ++x) {
      const uint8_t* p = px.data() + (static_cast<std::size_t>(y) * w + x) * 3;
      n += p[0] != background || p[1] != background || p[2] != background;
    }
  return n;
}

// A teapot 1000 units in front of the camera lands around the frame centre; a pose whose last column
// moves it right puts it right of the centre (the pose is loaded as written, not transposed). Without a
// model only the background is drawn and no lighting is left switched on.
TEST(Render, TeapotFollowsThePose) {
  const int w = 320, h = 240;
  const GlMatrix projection = pinholeProjection(w, h, 300);
  const DibImage picture = flatPicture(w, h, 128);
  RenderTarget target(w, h);
  GlContext gl;
  SetupRendering(gl, w, h, w, h, projection);

  RenderFrame(gl, picture, picture, 0, projection, translation(0, 0, 1000));
  EXPECT_EQ(changedPixels(target.pixelsTopDown(), w, {0, 0, w, h}, 128), 0);
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));

  RenderFrame(gl, picture, picture, 1, projection, translation(0, 0, 1000));
  std::vector<uint8_t> px = target.pixelsTopDown();
  EXPECT_GT(changedPixels(px, w, {w / 2 - 30, h / 2 - 30, w / 2 + 30, h / 2 + 30}, 128), 50);
  EXPECT_EQ(changedPixels(px, w, {0, 0, 40, 40}, 128), 0);
  EXPECT_EQ(changedPixels(px, w, {w - 40, h - 40, w, h}, 128), 0);
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
  EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));

  // 200 units right at depth 1000 and focal 300: about 60 pixels right of the centre.
  RenderFrame(gl, picture, picture, 1, projection, translation(200, 0, 1000));
  px = target.pixelsTopDown();
  const int left = changedPixels(px, w, {0, 0, w / 2 - 20, h}, 128);
  const int right = changedPixels(px, w, {w / 2 + 20, 0, w, h}, 128);
  EXPECT_GT(right, 50);
  EXPECT_LT(left, right / 10);

  // A pose with a NaN entry (the lost quad) leaves the background alone.
  std::array<double, 16> lost = translation(0, 0, 1000);
  lost[0] = std::nan("");
  RenderFrame(gl, picture, picture, 1, projection, lost);
  EXPECT_EQ(changedPixels(target.pixelsTopDown(), w, {0, 0, w, h}, 128), 0);
  ReleaseBackgroundTexture(gl);
}

// With a model but no pictures, the teapot is drawn over the cleared black buffer.
TEST(Render, TeapotWithoutPicturesDrawsOverBlack) {
  const int w = 160, h = 120;
  const GlMatrix projection = pinholeProjection(w, h, 150);
  RenderTarget target(w, h);
  GlContext gl;
  SetupRendering(gl, w, h, w, h, projection);
  RenderFrame(gl, DibImage{}, DibImage{}, 1, projection, translation(0, 0, 1000));
  const std::vector<uint8_t> px = target.pixelsTopDown();
  EXPECT_EQ(changedPixels(px, w, {0, 0, 20, 20}, 0), 0);
  EXPECT_GT(changedPixels(px, w, {w / 2 - 20, h / 2 - 20, w / 2 + 20, h / 2 + 20}, 0), 20);
  ReleaseBackgroundTexture(gl);
}

}  // namespace
}  // namespace quorl
