// The CPU rasteriser of the plotting library: draws a scene through a camera into an RGB image
// in memory, with no window, display or GL, the same picture as the window's GL renderer.
//
// Use:
//     Raster raster;
//     const std::vector<unsigned char>& rgb = raster.draw(scene, camera, width, height, overlays);
// The image is width x height RGB bytes with the bottom row first, as glReadPixels gives and
// glDrawPixels takes, so it goes straight to writePng (plot/snapshot.h) or, for a window on a
// software GL, to the screen with one glDrawPixels. It stays valid until the next draw.
//
// The projection, box edges, ticks, tick numbers, labels and title come from the same layout
// as the window's (plot/frame.h); images are drawn first, each pixel taking the colour of the
// cell its centre sees, then points fill the pixel they fall in, lines are stepped one pixel per
// column or row, the colour bar and text (from the DejaVu fonts through FreeType) go on top. A frame allocates
// nothing once the image has its size: drawing costs a few nanoseconds per point.
#pragma once

#include "plot/font.h"
#include "plot/frame.h"
#include "plot/scene.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrum::plot {

class Raster {
public:
    // With `every` above 1 only every every-th point and line segment of the scene is drawn (a
    // quick picture while the view changes); the annotation always in full.
    const std::vector<unsigned char>& draw(const Scene& scene, const Camera& camera, int width, int height,
                                           const Overlays& overlays, int every = 1);

    // Why the pictures have no text (the label font could not be loaded); "" when they have.
    // The label font is $S2GL_FONT when that is set, else DejaVu Sans; the help panel's is
    // DejaVu Sans Mono.
    const std::string& fontProblem();

private:
    void loadFonts();
    void drawPoints(const std::vector<Vertex>& points, std::size_t every);
    // The image rows [lo, hi) that a drawing sets pixels in: the scene's lines are drawn by
    // several threads at once, each in its own band of rows.
    struct Rows {
        int lo, hi;
    };
    Rows allRows() const { return {0, height_}; }
    void drawLines(const std::vector<Vertex>& lines, std::size_t every, Rows rows);
    // drawLines in bands of rows on threads of their own when there are many lines.
    void drawSceneLines(const std::vector<Vertex>& lines, std::size_t every);
    void drawSegment(const ViewTransform::Clip& a, const ViewTransform::Clip& b, const std::uint8_t rgb[3], Rows rows);
    void drawWindowSegment(double x0, double y0, double x1, double y1, const std::uint8_t rgb[3], Rows rows);
    void drawImage(const Image& image);
    void drawColourBar(const ColourBar& bar);
    void fill(double x0, double y0, double x1, double y1, const std::uint8_t rgb[3]);
    void shade(double x0, double y0, double x1, double y1, double opacity);
    void drawHelp();

    std::vector<unsigned char> image_;
    int width_ = 0, height_ = 0;
    const ViewTransform* view_ = nullptr;
    Annotation annotation_;
    std::unique_ptr<Font> labelFont_, helpFont_;
    std::string fontProblem_;
};

}  // namespace kestrum::plot
