// The plotting library's core state, free of window-system and GL calls: the world-to-device
// mapping, the geometry buffers (static part first, then the current frame's), the axis boxes,
// the labels, and the camera with its home position.
#pragma once

#include "plot/digest.h"
#include "plot/ticks.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::plot {

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

// A vertex as the renderer hands it to GL: device-space position and an 8-bit RGBA colour.
struct Vertex {
    // Left unset, so that a buffer grown for vertices that threads then write is not cleared first.
    Vertex() {}
    Vertex(float x, float y, float z, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a)
        : x(x), y(y), z(z), r(r), g(g), b(b), a(a)
    {}
    float x, y, z;
    std::uint8_t r, g, b, a;
};

// Linear map of the world window onto the viewport box, per axis device = world * scale + offset.
// An axis whose world interval has zero width maps every value onto the middle of the viewport.
class Mapping {
public:
    Mapping();
    void setViewport(const float lo[3], const float hi[3]);
    void setWindow(const float lo[3], const float hi[3]);
    // World to device; false when the result is not a finite float (then `out` is unchanged).
    bool toDevice(float x, float y, float z, float out[3]) const;

    const float* viewportLo() const { return vpLo_; }
    const float* viewportHi() const { return vpHi_; }
    const float* windowLo() const { return winLo_; }
    const float* windowHi() const { return winHi_; }

private:
    void update();
    float vpLo_[3], vpHi_[3], winLo_[3], winHi_[3];
    double scale_[3], offset_[3];
};

// One s2box call: the device-space box, which of its edges to draw, and the ticks per axis with
// their device positions along that axis.
struct Box {
    float lo[3], hi[3];
    bool edge[3][4];  // per axis the four parallel edges, B C D E
    bool ticks[3];
    bool labels[3];
    TickSet tickSet[3];
    float tickDevice[3][kMaxTicks];
};

// An image (s2image): nx x ny cells of 3 bytes r, g, b each, row by row from the row at the
// rectangle's first y edge, each row from its first x edge. It lies flat in a plane of constant
// device z: the world corner (x1, y1, z) maps to device `p0`, (x2, y2, z) to device `p1`, so cell
// (i, j) fills device x from p0.x + i (p1.x - p0.x) / nx over one nx-th of the width, and y alike
// with j and ny. Its cells are drawn as flat colours under the points and lines, seen through the
// camera like them. `generation` changes whenever the pixels change, so that a renderer can keep
// what it made of them (a texture) while it stays the same.
struct Image {
    int nx = 0, ny = 0;
    float p0[3], p1[3];
    std::vector<std::uint8_t> rgb;
    std::uint64_t generation = 0;
};

// A colour bar (s2cbar): `rgb` holds n colours of 3 bytes, the colour of the lowest value first,
// spread evenly over the values lo .. hi. It is drawn in window pixels, not in the 3-D scene, at
// the right edge of a width x height window: the bar fills x from width - 90 to width - 70 and y
// from 0.2 height (value lo) to 0.8 height (value hi), colour k over the k-th of n equal steps
// from the bottom; each tick value (`ticks`, chosen for lo .. hi) gets a white line from
// x = width - 70 to width - 64 at its height and its label to the right of it, and `label` is
// centred above the bar.
struct ColourBar {
    bool set = false;
    std::vector<std::uint8_t> rgb;
    float lo = 0, hi = 1;
    std::string label;
    TickSet ticks;
};

// Axis labels and title (s2lab).
struct Labels {
    bool set = false;
    std::string axis[3];
    std::string title;
};

struct Camera {
    Vec3 position, target, up;
    double aperture = 45.0;  // vertical field of view in degrees
};

// Points, lines and boxes drawn outside the per-frame callback stay (the static part at the front
// of each buffer); those drawn inside it last one frame. Buffers keep their capacity between
// frames, so a steady frame allocates nothing.
class Scene {
public:
    Mapping mapping;

    void addPoint(float x, float y, float z, float r, float g, float b);
    void addLine(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b);
    // n points, or the n - 1 segments joining each of n points to the next, in the colour (r, g,
    // b) or with 3 colour components per point in `rgb` (a segment takes its first point's).
    void addPoints(std::size_t n, const float* x, const float* y, const float* z, const float* rgb, float r, float g,
                   float b);
    void addPolyline(std::size_t n, const float* x, const float* y, const float* z, const float* rgb, float r, float g,
                     float b);
    // As addPolyline for each of `runs` lines, line k through points start[k] .. start[k + 1] - 1
    // (rgb, when not null, holds the colours of all the points). Many points, or lines, are
    // shared out to threads that map them at the same time.
    void addPolylines(std::size_t runs, const std::size_t* start, const float* x, const float* y, const float* z,
                      const float* rgb, float r, float g, float b);
    // Adds a box for the current world window; options as s2box takes them.
    void addBox(const char* opt[3], const float step[3]);
    void setLabels(const char* x, const char* y, const char* z, const char* title);
    // Adds an image on the world rectangle x1 .. x2, y1 .. y2 at z; `rgb` holds nx * ny cells.
    // Nothing is added for an empty image or a corner that does not map.
    void addImage(int nx, int ny, const std::uint8_t* rgb, float x1, float x2, float y1, float y2, float z);
    // Sets the colour bar: n colours of 3 bytes over lo .. hi; n < 1 sets none (in the frame part
    // that leaves the static bar, if any).
    void setColourBar(int n, const std::uint8_t* rgb, float lo, float hi, const char* label);

    // Starts a frame: drops the previous frame's geometry and collects into the frame part.
    void beginFrame();
    // Starts a frame whose points and lines may be those of the last frame: they stay until the
    // frame adds a point or a line, or keepGeometry() keeps them; endCallback() drops them when
    // neither happened. Boxes, labels, images and the colour bar start afresh as in beginFrame.
    void beginKeepableFrame();
    // Keeps the last frame's points and lines for this one; false when there are none to keep
    // (outside a keepable frame, or after the frame added a point or a line).
    bool keepGeometry();
    void endCallback();
    // A digest of the points and lines, made as they are added: the same additions give the same
    // digest, and kept geometry keeps its digest.
    std::uint64_t geometryDigest() const;

    const std::vector<Vertex>& points() const { return points_; }
    const std::vector<Vertex>& lines() const { return lines_; }  // two vertices per segment
    const std::vector<Box>& boxes() const { return boxes_; }
    const Labels& labels() const { return frameLabels_.set ? frameLabels_ : staticLabels_; }
    // The images in use are the first imageCount() entries.
    const std::vector<Image>& images() const { return images_; }
    std::size_t imageCount() const { return imageCount_; }
    const ColourBar& colourBar() const { return frameBar_.set ? frameBar_ : staticBar_; }

private:
    // Drops the last frame's points and lines if they are still waiting to be kept or dropped.
    void settle();
    // The digest of the part that additions go to.
    Digest& geometry() { return inFrame_ ? frameGeometry_ : staticGeometry_; }

    bool inFrame_ = false;
    bool keepable_ = false;  // the last frame's points and lines wait for keepGeometry or settle
    Digest staticGeometry_, frameGeometry_;
    std::vector<Vertex> points_, lines_;
    std::vector<Box> boxes_;
    std::size_t staticPoints_ = 0, staticLines_ = 0, staticBoxes_ = 0;
    Labels staticLabels_, frameLabels_;
    // Image slots keep their pixels between frames: an image drawn again unchanged keeps its
    // generation, and a changed one is copied into the slot's buffer.
    std::vector<Image> images_;
    std::size_t imageCount_ = 0, staticImages_ = 0;
    std::uint64_t nextGeneration_ = 1;
    ColourBar staticBar_, frameBar_;
};

// Camera that looks at the middle of the box from the +z side, +y up, 45 degrees aperture, far
// enough away that the whole box is in view for a window of the given aspect (width / height).
Camera homeCamera(const float lo[3], const float hi[3], double aspect);
// Rotates the camera about the point it looks at so that the scene turns by `right` radians to
// the right and `up` radians upwards as seen on the screen.
void orbit(Camera& camera, double right, double up);
// Moves the camera towards (factor < 1) or away from (factor > 1) the point it looks at.
void zoom(Camera& camera, double factor);

}  // namespace kestrum::plot
