// Byte-order converters. All values on disk are big-endian; on a little-endian host every
// element has its bytes reversed. Elements go through memcpy, so neither side needs to be
// aligned.
#include "dataset/pack.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr bool hostIsBig = std::endian::native == std::endian::big;

inline uint32_t swap32(uint32_t v)
{
    return hostIsBig ? v : __builtin_bswap32(v);
}
inline uint64_t swap64(uint64_t v)
{
    return hostIsBig ? v : __builtin_bswap64(v);
}

void copy32(const void* in, void* out, int n)
{
    const char* s = static_cast<const char*>(in);
    char* d = static_cast<char*>(out);
    for (int i = 0; i < n; ++i) {
        uint32_t v;
        std::memcpy(&v, s + 4 * i, 4);
        v = swap32(v);
        std::memcpy(d + 4 * i, &v, 4);
    }
}

void copy64(const void* in, void* out, int n)
{
    const char* s = static_cast<const char*>(in);
    char* d = static_cast<char*>(out);
    for (int i = 0; i < n; ++i) {
        uint64_t v;
        std::memcpy(&v, s + 8 * i, 8);
        v = swap64(v);
        std::memcpy(d + 8 * i, &v, 8);
    }
}

}  // namespace

extern "C" {

void pack16_c(const int* in, char* out, int n)
{
    const char* s = reinterpret_cast<const char*>(in);
    for (int i = 0; i < n; ++i) {
        int32_t v;
        std::memcpy(&v, s + 4 * i, 4);
        out[2 * i] = static_cast<char>((v >> 8) & 0xff);
        out[2 * i + 1] = static_cast<char>(v & 0xff);
    }
}

void unpack16_c(const char* in, int* out, int n)
{
    char* d = reinterpret_cast<char*>(out);
    for (int i = 0; i < n; ++i) {
        const auto hi = static_cast<unsigned char>(in[2 * i]);
        const auto lo = static_cast<unsigned char>(in[2 * i + 1]);
        const int32_t v = static_cast<int16_t>(static_cast<uint16_t>(hi << 8 | lo));
        std::memcpy(d + 4 * i, &v, 4);
    }
}

void pack32_c(const int* in, char* out, int n)
{
    copy32(in, out, n);
}
void unpack32_c(const char* in, int* out, int n)
{
    copy32(in, out, n);
}
void pack64_c(const int64_t* in, char* out, int n)
{
    copy64(in, out, n);
}
void unpack64_c(const char* in, int64_t* out, int n)
{
    copy64(in, out, n);
}
void packr_c(const float* in, char* out, int n)
{
    copy32(in, out, n);
}
void unpackr_c(const char* in, float* out, int n)
{
    copy32(in, out, n);
}
void packd_c(const double* in, char* out, int n)
{
    copy64(in, out, n);
}
void unpackd_c(const char* in, double* out, int n)
{
    copy64(in, out, n);
}

}  // extern "C"
