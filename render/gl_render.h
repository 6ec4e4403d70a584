#pragma once
// OpenGL drawing of the view: the video picture as a pixel-exact background texture and the lit
// wire-frame teapot placed by the camera pose. Fixed-function OpenGL 1.1 plus BGR pixels; the caller
// makes a compatibility-profile context current before every call.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/dib_image.h"

namespace quorl {

// The background texture of one rendering context and its size in pixels (the frame size).
// Ownership: the texture name belongs to the context that was current at CreateBackgroundTexture;
// ReleaseBackgroundTexture deletes it and must run with that same context current.
struct GlContext {
  unsigned int backgroundTexture = 0;
  int textureWidth = 0;
  int textureHeight = 0;
};

// Column-major 4 x 4 matrix as glLoadMatrixd takes it: row r, column c at index r + 4c.
using GlMatrix = std::array<double, 16>;

// Calls glutInit once per process (later calls do nothing). freeglut opens the X display named by
// DISPLAY and ends the process when it cannot, so the caller checks the display first.
void InitGlut();

// Offset of the pixel rows in a packed bitmap: its header size (the first 32-bit field) plus 4 bytes per
// colour-table entry (DibColourEntries of the bit count at byte 14).
std::size_t DibPixelOffset(const uint8_t* packed);

// The same matrix in OpenGL order: element (r, c) of the row-major input goes to index r + 4c.
GlMatrix ColumnMajor(std::span<const double, 16> rowMajor);

// Deletes any previous texture of `gl`, records w x h and defines a w x h GL_RGB texture without data:
// clamped, nearest filtering, decal environment. Sizes below 1 leave no texture.
void CreateBackgroundTexture(GlContext& gl, int w, int h);

// Replaces the texture image with the 24-bit picture's rows, sent bottom-up as stored (texture row 0 is
// the picture's bottom row) as GL_BGR with unpack alignment 4, matching the 4-byte row padding. A picture
// of another size first redefines the texture at its size. Returns false, drawing nothing, for an empty
// or non-24-bit picture.
bool UpdateBackgroundTexture(GlContext& gl, const DibImage& picture);

// Saves all attributes and the three matrices, then sets a pixel-aligned orthographic projection
// (0..textureWidth, 0..textureHeight) with texturing on and lighting, depth test and blending off.
void BeginOrtho(const GlContext& gl);
// Restores what BeginOrtho saved.
void EndOrtho();

// Draws the texture over the whole viewport, upright; every other state is left as it was.
void DrawBackground(const GlContext& gl);

// The context's fixed state: smooth shading, black clear colour, depth test with GL_LEQUAL, nicest
// perspective; the background texture for w x h frames, the viewport of viewportW x viewportH device
// pixels and the given projection loaded.
void SetupRendering(GlContext& gl, int w, int h, int viewportW, int viewportH, const GlMatrix& projection);

// Deletes the texture and clears `gl`. Needs the owning context current.
void ReleaseBackgroundTexture(GlContext& gl);

// The teapot: directional light 0 fixed to the camera, blue specular and ambient material, projection
// and pose loaded, scale (1, -1, -1), 90 degrees about x, glutWireTeapot(50.0). `modelview` is the pose
// row-major. Lighting and depth test are off again afterwards; GL_LIGHT0 stays enabled.
void DrawAugmentation(const GlMatrix& projection, std::span<const double, 16> modelview);

// One paint: clear, background from `display` when both pictures hold pixels, then the augmentation
// when `modelActive` is non-zero and the pose is finite (a lost quad collapses to one point, whose pose
// has no finite solution: nothing is drawn for it), then one more teapot for each finite pose of
// `morePoses` (targets given as pictures).
void RenderFrame(GlContext& gl, const DibImage& frame, const DibImage& display, int modelActive,
                 const GlMatrix& projection, std::span<const double, 16> modelview,
                 std::span<const std::array<double, 16>> morePoses = {});

}  // namespace quorl
