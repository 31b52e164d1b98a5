// Text for the CPU rasteriser from a TrueType font through FreeType: the printable ASCII glyphs
// are rendered once when the font loads and drawn from that cache, blended by their coverage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::plot {

// The fonts of the Debian package fonts-dejavu-core.
inline constexpr const char* kLabelFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline constexpr const char* kHelpFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

class Font {
public:
    // Loads the font file at `path` at `pixels` pixels per em. A font that cannot be loaded
    // draws nothing and has zero width; problem() says why.
    Font(const std::string& path, int pixels);

    bool ok() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

    // Width in pixels of `text` (characters outside printable ASCII count as "?").
    double width(const char* text) const;
    // Draws `text` with its baseline starting at pixel (x, y) into a width x height RGB buffer
    // whose first row is the bottom one, blending `rgb` over what is there by glyph coverage.
    void draw(unsigned char* image, int width, int height, int x, int y, const char* text,
              const std::uint8_t rgb[3]) const;

private:
    struct Glyph {
        int left = 0, top = 0;  // bitmap origin relative to the pen on the baseline (y up)
        int columns = 0, rows = 0;
        int advance = 0;
        std::size_t offset = 0;  // of the first coverage byte in coverage_, top row first
    };
    const Glyph& glyph(char c) const;

    static constexpr int kFirst = 32, kLast = 126;
    Glyph glyphs_[kLast - kFirst + 1];
    std::vector<std::uint8_t> coverage_;
    std::string problem_;
};

}  // namespace kestrum::plot
