// The drawing of a frame that does not depend on how pixels are made, shared by the window's GL
// renderer and the CPU rasteriser so that both show the same picture: the camera's projection
// onto window pixels, and the layout of box edges, ticks, tick numbers, axis labels and title.
#pragma once

#include "plot/labels.h"
#include "plot/scene.h"

#include <string>
#include <vector>

namespace kestrum::plot {

// Text boxes are laid out this high, with the baseline this far above their bottom.
constexpr double kTextHeight = 12.0;
constexpr double kTextDescent = 3.0;

// The key help panel's lines, drawn in a fixed-width font.
extern const char* const kHelpLines[];
extern const int kHelpLineCount;

// Where the key help panel goes in a window of the given height, for the width of its widest line.
struct HelpPanel {
    static constexpr double kLineHeight = 18.0;
    static constexpr double kShade = 0.85;  // opacity of the black behind the text
    double x0, y0, x1, y1;  // the shaded rectangle
    double textX, firstBaseline;  // the first line's baseline; each next line kLineHeight lower
};
HelpPanel helpPanel(int height, double widestLine);

// Where a colour bar goes in a width x height window (as ColourBar describes it).
struct ColourBarPlace {
    double x0, x1, y0, y1;  // the bar; y0 has the value lo, y1 the value hi
    double tickEnd;  // ticks run from x1 to here
    double tickY(const ColourBar& bar, int t) const;  // height of tick t
};
ColourBarPlace colourBarPlace(int width, int height);

struct Overlays {
    bool help = false;  // the key help panel
    double fade = 0.0;  // 0 .. 1: how far the frame has faded to black
};

// Device space to window pixels (origin bottom left, y up) for a camera and a window size:
// a perspective of the camera's aperture with near and far planes at 1/1000 and 1000 times the
// camera's distance, looking from its position at its target.
class ViewTransform {
public:
    ViewTransform(const Camera& camera, int width, int height);

    struct Clip {
        double x, y, z, w;
    };
    Clip clip(double x, double y, double z) const
    {
        const double* m = m_;
        return {m[0] * x + m[1] * y + m[2] * z + m[3], m[4] * x + m[5] * y + m[6] * z + m[7],
                m[8] * x + m[9] * y + m[10] * z + m[11], m[12] * x + m[13] * y + m[14] * z + m[15]};
    }
    // Window position of a clip-space point with w > 0.
    double windowX(const Clip& c) const { return (c.x / c.w + 1.0) * halfWidth_; }
    double windowY(const Clip& c) const { return (c.y / c.w + 1.0) * halfHeight_; }

    struct ScreenPoint {
        double x, y;
        bool visible;  // between the near and far planes
    };
    ScreenPoint project(double x, double y, double z) const;

    int width() const { return width_; }
    int height() const { return height_; }

private:
    double m_[16];  // projection times view, row major
    int width_, height_;
    double halfWidth_, halfHeight_;
};

// A text to draw with its baseline starting at (x, y) in window pixels.
struct PlacedText {
    double x, y;
    const char* text;  // points into the scene or the layout; valid until the next layout
};

// Width in pixels of a text in the font that will draw it.
class TextWidth {
public:
    virtual double operator()(const char* text) const = 0;

protected:
    ~TextWidth() = default;
};

// Lays out a frame's annotation: the box edges and ticks as white line segments, and the
// title, the colour bar's numbers and label, tick numbers and axis labels placed so that none
// overlaps another. Buffers are kept
// between frames.
class Annotation {
public:
    void layout(const Scene& scene, const ViewTransform& view, const TextWidth& width);

    const std::vector<Vertex>& lines() const { return lines_; }  // two vertices per segment
    const std::vector<PlacedText>& texts() const { return texts_; }

private:
    void addBox(const Box& box, const Labels* labels);
    Rect textRect(ViewTransform::ScreenPoint anchor, double dx, double dy, const char* text) const;
    void layoutTitle(const std::string& title);
    void layoutColourBar(const ColourBar& bar);

    const ViewTransform* view_ = nullptr;
    const TextWidth* width_ = nullptr;
    LabelLayout placed_;
    std::vector<Vertex> lines_;
    std::vector<PlacedText> texts_;
    std::vector<std::string> titleLines_;  // the title's lines, kept between frames
};

}  // namespace kestrum::plot
