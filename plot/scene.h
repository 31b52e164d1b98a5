// The plotting library's core state, free of window-system and GL calls: the world-to-device
// mapping, the geometry buffers (static part first, then the current frame's), the axis boxes,
// the labels, and the camera with its home position.
#pragma once

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
    // Adds a box for the current world window; options as s2box takes them.
    void addBox(const char* opt[3], const float step[3]);
    void setLabels(const char* x, const char* y, const char* z, const char* title);

    // Starts a frame: drops the previous frame's geometry and collects into the frame part.
    void beginFrame();

    std::vector<Vertex>& points() { return points_; }
    std::vector<Vertex>& lines() { return lines_; }  // two vertices per segment
    const std::vector<Box>& boxes() const { return boxes_; }
    const Labels& labels() const { return frameLabels_.set ? frameLabels_ : staticLabels_; }

private:
    bool inFrame_ = false;
    std::vector<Vertex> points_, lines_;
    std::vector<Box> boxes_;
    std::size_t staticPoints_ = 0, staticLines_ = 0, staticBoxes_ = 0;
    Labels staticLabels_, frameLabels_;
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
