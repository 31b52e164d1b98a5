// PNG output through libpng; the file is created exclusively so an existing frame is never
// overwritten.
#include "plot/snapshot.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrum::plot {
namespace {

// libpng reports errors by long-jumping back to the setjmp in writeRows; nothing with a
// destructor lives between the two.
bool writeRows(std::FILE* f, int width, int height, png_bytep* rows, std::string& why)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        why = "cannot start the PNG writer";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        why = "PNG writer failed";
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool writePng(const std::string& path, int width, int height, const unsigned char* rgb, std::string& why)
{
    if (width <= 0 || height <= 0) {
        why = "empty frame";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "wbx");
    if (f == nullptr) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y)  // PNG rows run top down
        rows[static_cast<std::size_t>(y)] =
            const_cast<png_bytep>(rgb + stride * static_cast<std::size_t>(height - 1 - y));
    bool ok = writeRows(f, width, height, rows.data(), why);
    if (std::fclose(f) != 0 && ok) {
        why = path + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok)
        std::remove(path.c_str());
    return ok;
}

bool replacePng(const std::string& path, int width, int height, const unsigned char* rgb, std::string& why)
{
    const std::string part = path + ".part" + std::to_string(getpid());
    if (!writePng(part, width, height, rgb, why)) {
        // Name the file asked for rather than the temporary one.
        if (why.compare(0, part.size(), part) == 0)
            why.replace(0, part.size(), path);
        else
            why = path + ": " + why;
        return false;
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        why = path + ": " + std::strerror(errno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}

std::string saveFrame(const std::string& dir, int width, int height, const unsigned char* rgb, std::string& why)
{
    for (int n = 1; n <= 9999; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "s2frame-%04d.png", n);
        const std::string path = dir.empty() ? name : dir + "/" + name;
        if (writePng(path, width, height, rgb, why))
            return path;
        if (errno != EEXIST)
            return "";
    }
    why = "no free s2frame-NNNN.png name left";
    return "";
}

}  // namespace kestrum::plot
