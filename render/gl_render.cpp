#include "render/gl_render.h"

#include <algorithm>
#include <cmath>

#include <GL/freeglut.h>
#include <GL/gl.h>

namespace quorl {

namespace {

// Light 0 is directional (w = 0) and given while the modelview is the identity: fixed to the camera.
constexpr GLfloat kLightPosition[4] = {-200.0f, 100.0f, 100.0f, 0.0f};
constexpr GLfloat kLightAmbient[4] = {0.1f, 0.1f, 0.1f, 0.1f};
constexpr GLfloat kLightDiffuse[4] = {0.9f, 0.9f, 0.9f, 0.1f};
constexpr GLfloat kMaterialSpecular[4] = {0.0f, 0.0f, 1.0f, 1.0f};
constexpr GLfloat kMaterialShininess = 50.0f;
constexpr GLfloat kMaterialAmbient[4] = {0.0f, 0.0f, 1.0f, 1.0f};
constexpr double kTeapotSize = 50.0;

uint32_t readLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void InitGlut() {
  static bool done = false;
  if (done) return;
  done = true;
  char name[] = "quorl";
  char* argv[] = {name, nullptr};
  int argc = 1;
  glutInit(&argc, argv);
}

std::size_t DibPixelOffset(const uint8_t* packed) {
  const int bitCount = packed[14] | packed[15] << 8;
  return readLe32(packed) + 4u * static_cast<std::size_t>(DibColourEntries(bitCount));
}

GlMatrix ColumnMajor(std::span<const double, 16> rowMajor) {
  GlMatrix m{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r + 4 * c] = rowMajor[4 * r + c];
  return m;
}

void CreateBackgroundTexture(GlContext& gl, int w, int h) {
  ReleaseBackgroundTexture(gl);
  if (w < 1 || h < 1) return;
  gl.textureWidth = w;
  gl.textureHeight = h;
  glGenTextures(1, &gl.backgroundTexture);
  glBindTexture(GL_TEXTURE_2D, gl.backgroundTexture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_DECAL);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, w, h, 0, GL_RGB, GL_UNSIGNED_BYTE, nullptr);
}

bool UpdateBackgroundTexture(GlContext& gl, const DibImage& picture) {
  if (picture.empty() || picture.bitCount() != 24) return false;
  if (gl.backgroundTexture == 0 || picture.width() != gl.textureWidth ||
      picture.height() != gl.textureHeight) {
    CreateBackgroundTexture(gl, picture.width(), picture.height());
  }
  glBindTexture(GL_TEXTURE_2D, gl.backgroundTexture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, gl.textureWidth, gl.textureHeight, GL_BGR, GL_UNSIGNED_BYTE,
                  picture.dib() + DibPixelOffset(picture.dib()));
  return true;
}

void BeginOrtho(const GlContext& gl) {
  glPushAttrib(GL_ALL_ATTRIB_BITS);
  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
  glEnable(GL_TEXTURE_2D);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0, gl.textureWidth, 0, gl.textureHeight, -1, 1);
  glMatrixMode(GL_TEXTURE);
  glPushMatrix();
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
}

void EndOrtho() {
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_TEXTURE);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  // The attribute pop puts every enable (and the matrix mode) back as it was before BeginOrtho.
  glPopAttrib();
}

void DrawBackground(const GlContext& gl) {
  if (gl.backgroundTexture == 0) return;
  BeginOrtho(gl);
  glBindTexture(GL_TEXTURE_2D, gl.backgroundTexture);
  glColor4f(0.0f, 0.0f, 0.0f, 0.0f);
  const GLdouble w = gl.textureWidth, h = gl.textureHeight;
  glBegin(GL_TRIANGLE_FAN);
  glTexCoord2d(0, 0);
  glVertex2d(0, 0);
  glTexCoord2d(1, 0);
  glVertex2d(w, 0);
  glTexCoord2d(1, 1);
  glVertex2d(w, h);
  glTexCoord2d(0, 1);
  glVertex2d(0, h);
  glEnd();
  EndOrtho();
}

void SetupRendering(GlContext& gl, int w, int h, int viewportW, int viewportH, const GlMatrix& projection) {
  CreateBackgroundTexture(gl, w, h);
  glShadeModel(GL_SMOOTH);
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
  glClearDepth(1.0);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  glViewport(0, 0, viewportW, viewportH);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glLoadMatrixd(projection.data());
}

void ReleaseBackgroundTexture(GlContext& gl) {
  if (gl.backgroundTexture != 0) glDeleteTextures(1, &gl.backgroundTexture);
  gl = GlContext{};
}

void DrawAugmentation(const GlMatrix& projection, std::span<const double, 16> modelview) {
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glLightfv(GL_LIGHT0, GL_POSITION, kLightPosition);
  glLightfv(GL_LIGHT0, GL_AMBIENT, kLightAmbient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, kLightDiffuse);
  glMaterialfv(GL_FRONT, GL_SPECULAR, kMaterialSpecular);
  glMaterialf(GL_FRONT, GL_SHININESS, kMaterialShininess);
  glMaterialfv(GL_FRONT, GL_AMBIENT, kMaterialAmbient);
  glClearDepth(1.0);
  glClear(GL_DEPTH_BUFFER_BIT);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glLoadMatrixd(projection.data());
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  const GlMatrix pose = ColumnMajor(modelview);
  glLoadMatrixd(pose.data());
  glScalef(1.0f, -1.0f, -1.0f);
  glRotatef(90.0f, 1.0f, 0.0f, 0.0f);
  glutWireTeapot(kTeapotSize);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_LIGHTING);
}

void RenderFrame(GlContext& gl, const DibImage& frame, const DibImage& display, int modelActive,
                 const GlMatrix& projection, std::span<const double, 16> modelview,
                 std::span<const std::array<double, 16>> morePoses) {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(-1, 1, -1, 1, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  if (!frame.empty() && !display.empty() && UpdateBackgroundTexture(gl, display)) DrawBackground(gl);
  const auto finite = [](std::span<const double, 16> pose) {
    return std::all_of(pose.begin(), pose.end(), [](double v) { return std::isfinite(v); });
  };
  if (modelActive != 0 && finite(modelview)) DrawAugmentation(projection, modelview);
  for (const std::array<double, 16>& pose : morePoses)
    if (finite(pose)) DrawAugmentation(projection, pose);
}

}  // namespace quorl
