// The OpenGL renderer of the plotting library: draws a scene through a camera into the current
// context with one draw call per primitive kind, then the labels and overlays. It saves the GL
// state it changes and restores it before returning.
#pragma once

#include "plot/frame.h"
#include "plot/scene.h"

#include <cstdint>
#include <vector>

namespace kestrum::plot {

class Renderer {
public:
    // Draws one frame into a width x height window.
    void draw(const Scene& scene, const Camera& camera, int width, int height, const Overlays& overlays);

private:
    void drawTexts(int width, int height, const Overlays& overlays, const ColourBar* bar);
    void drawImages(const Scene& scene);
    void drawColourBar(const ColourBar& bar, int width, int height);

    Annotation annotation_;
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
