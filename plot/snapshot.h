// Writing a frame to a PNG file (libpng): under a given name, or the first free name s2frame-NNNN.png.
#pragma once

#include <string>

namespace kestrum::plot {

// Writes `rgb` (width * height RGB bytes, bottom row first as GL reads it) to the PNG file `path`,
// which must not exist yet. False with a reason in `why` on failure; no partial file stays behind.
bool writePng(const std::string& path, int width, int height, const unsigned char* rgb, std::string& why);

// Writes the PNG file `path` as writePng does, but through a temporary file beside it that
// replaces `path` (which may exist) only once it is complete.
bool replacePng(const std::string& path, int width, int height, const unsigned char* rgb, std::string& why);

// Writes the frame to the first free name s2frame-0001.png .. s2frame-9999.png in `dir`; returns
// the path written, or "" with a reason in `why`.
std::string saveFrame(const std::string& dir, int width, int height, const unsigned char* rgb, std::string& why);

}  // namespace kestrum::plot
