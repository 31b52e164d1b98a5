// The OpenGL renderer of the plotting library: draws a scene through a camera into the current
// context with one draw call per primitive kind, then the labels and overlays. It saves the GL
// state it changes and restores it before returning.
#pragma once

#include "plot/scene.h"

#include <vector>

namespace kestrum::plot {

struct Overlays {
    bool help = false;   // the key help panel
    double fade = 0.0;   // 0 .. 1: how far the frame has faded to black
};

class Renderer {
public:
    // Draws one frame into a width x height window. Box edges and ticks are appended to the
    // scene's line buffer for the draw and removed again afterwards.
    void draw(Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays);

private:
    struct Rect {
        double x0, y0, x1, y1;
    };
    struct ScreenPoint {
        double x, y;
        bool visible;
    };
    ScreenPoint project(float x, float y, float z) const;
    bool overlapsPlaced(const Rect& r) const;
    void appendBox(std::vector<Vertex>& lines, const Box& box, const Labels* labels);
    Rect textRect(ScreenPoint anchor, double dx, double dy, const char* text) const;
    void drawTexts(int width, int height, const Labels& labels, const Overlays& overlays);

    double model_[16], projection_[16];
    int viewport_[4];
    std::vector<Rect> placed_;  // screen rectangles of the labels placed this frame
    struct PendingText {
        double x, y;
        const char* text;
    };
    std::vector<PendingText> texts_;
};

}  // namespace kestrum::plot
