// FreeType glyph cache: every printable ASCII glyph rendered to an 8-bit coverage bitmap once.
#include "plot/font.h"

#include <ft2build.h>
#include FT_FREETYPE_H

namespace kestrum::plot {

Font::Font(const std::string& path, int pixels)
{
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) {
        problem_ = "FreeType could not start";
        return;
    }
    FT_Face face = nullptr;
    if (FT_New_Face(library, path.c_str(), 0, &face) != 0) {
        problem_ = path + ": not a font file that FreeType can read (is fonts-dejavu-core installed?)";
        FT_Done_FreeType(library);
        return;
    }
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixels)) != 0)
        problem_ = path + ": no glyphs at " + std::to_string(pixels) + " pixels";
    for (int c = kFirst; c <= kLast && problem_.empty(); ++c) {
        if (FT_Load_Char(face, static_cast<FT_ULong>(c), FT_LOAD_RENDER) != 0) {
            problem_ = path + ": cannot render the character '" + std::string(1, static_cast<char>(c)) + "'";
            break;
        }
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap& bitmap = slot->bitmap;
        Glyph& g = glyphs_[c - kFirst];
        g.left = slot->bitmap_left;
        g.top = slot->bitmap_top;
        g.columns = static_cast<int>(bitmap.width);
        g.rows = static_cast<int>(bitmap.rows);
        g.advance = static_cast<int>((slot->advance.x + 32) >> 6);
        g.offset = coverage_.size();
        for (int r = 0; r < g.rows; ++r) {
            const unsigned char* row = bitmap.buffer + static_cast<std::ptrdiff_t>(r) * bitmap.pitch;
            coverage_.insert(coverage_.end(), row, row + g.columns);
        }
    }
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    if (!problem_.empty()) {
        coverage_.clear();
        for (Glyph& g : glyphs_)
            g = Glyph{};
    }
}

const Font::Glyph& Font::glyph(char c) const
{
    const int code = static_cast<unsigned char>(c);
    return glyphs_[(code >= kFirst && code <= kLast ? code : '?') - kFirst];
}

double Font::width(const char* text) const
{
    int w = 0;
    for (const char* p = text; *p != '\0'; ++p)
        w += glyph(*p).advance;
    return w;
}

void Font::draw(unsigned char* image, int width, int height, int x, int y, const char* text,
                const std::uint8_t rgb[3]) const
{
    for (const char* p = text; *p != '\0'; ++p) {
        const Glyph& g = glyph(*p);
        for (int r = 0; r < g.rows; ++r) {
            const int row = y + g.top - 1 - r;
            if (row < 0 || row >= height)
                continue;
            const std::uint8_t* cover = coverage_.data() + g.offset + static_cast<std::size_t>(r) * g.columns;
            for (int c = 0; c < g.columns; ++c) {
                const int column = x + g.left + c;
                const unsigned a = cover[c];
                if (a == 0 || column < 0 || column >= width)
                    continue;
                unsigned char* px = image + (static_cast<std::size_t>(row) * width + column) * 3;
                for (int k = 0; k < 3; ++k)
                    px[k] = static_cast<unsigned char>((rgb[k] * a + px[k] * (255 - a) + 127) / 255);
            }
        }
        x += g.advance;
    }
}

}  // namespace kestrum::plot
