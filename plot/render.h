// The OpenGL renderer of the plotting library: draws a scene through a camera into the current
// context with one draw call per primitive kind, then the labels and overlays. It saves the GL
// state it changes and restores it before returning.
#pragma once

#include "plot/labels.h"
#include "plot/scene.h"

#include <string>
#include <vector>

namespace kestrum::plot {

struct Overlays {
    bool help = false;  // the key help panel
    double fade = 0.0;  // 0 .. 1: how far the frame has faded to black
};

class Renderer {
public:
    // Draws one frame into a width x height window. Box edges and ticks are appended to the
    // scene's line buffer for the draw and removed again afterwards.
    void draw(Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays);

private:
    struct ScreenPoint {
        double x, y;
        bool visible;
    };
    ScreenPoint project(float x, float y, float z) const;
    void appendBox(std::vector<Vertex>& lines, const Box& box, const Labels* labels);
    Rect textRect(ScreenPoint anchor, double dx, double dy, const char* text) const;
    void layoutTitle(int width, int height, const std::string& title);
    void drawTexts(int width, int height, const Overlays& overlays, const ColourBar* bar);
    void drawImages(const Scene& scene);
    void layoutColourBar(const ColourBar& bar, int width, int height);
    void drawColourBar(const ColourBar& bar, int width, int height);

    double model_[16], projection_[16];
    int viewport_[4];
    LabelLayout layout_;
    struct PendingText {
        double x, y;
        const char* text;
    };
    std::vector<PendingText> texts_;
    std::vector<std::string> titleLines_;  // the title's lines, kept between frames
    // The textures made of each image slot: the image's generation they show and one texture per
    // tile of at most GL_MAX_TEXTURE_SIZE cells a side, tiles row by row. Kept while the
    // generation stays, so that an unchanged image is not uploaded again.
    struct ImageTextures {
        std::uint64_t generation = 0;
        int tilesX = 0, tilesY = 0, tileSize = 0;
        std::vector<unsigned> ids;
    };
    std::vector<ImageTextures> textures_;
};

}  // namespace kestrum::plot
