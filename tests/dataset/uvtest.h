// Helpers of the uv tests: reading every record of a data set, and big-endian byte building.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dataset/hio.h"
#include "dataset/uvio.h"

namespace kestrum::test {

struct ReadRecord {
    std::vector<double> pre;
    std::vector<float> data;  // (real, imaginary) pairs
    std::vector<int> flags;
    double visno = 0;
};

// Opens `path`, lets `setup` apply settings and selections, reads every record with a preamble
// of `npre` doubles, and closes.
inline std::vector<ReadRecord> readAll(const std::string& path, const std::function<void(int)>& setup = {},
                                       int npre = 4, int capacity = 4096)
{
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    if (setup) setup(tno);
    std::vector<ReadRecord> out;
    for (;;) {
        ReadRecord r;
        r.pre.assign(npre, 0);
        r.data.assign(2 * capacity, 0);
        r.flags.assign(capacity, 0);
        int nread = 0;
        uvread_c(tno, r.pre.data(), r.data.data(), r.flags.data(), capacity, &nread);
        if (nread == 0) break;
        r.data.resize(2 * nread);
        r.flags.resize(nread);
        uvinfo_c(tno, "visno", &r.visno);
        out.push_back(std::move(r));
    }
    uvclose_c(tno);
    return out;
}

// The bytes of item `name` of data set `path`, wherever the item lives (file or header item).
inline std::string readItem(const std::string& path, const char* name)
{
    int tno = 0, item = 0, iostat = 0;
    hopen_c(&tno, path.c_str(), "old", &iostat);
    haccess_c(tno, &item, name, "read", &iostat);
    std::string out(static_cast<size_t>(iostat == 0 ? hsize_c(item) : 0), '\0');
    if (iostat == 0) {
        hreadb_c(item, out.data(), 0, static_cast<off_t>(out.size()), &iostat);
        hdaccess_c(item, &iostat);
    }
    hclose_c(tno);
    return out;
}

// A death-test pattern matching the fatal message `msg` literally.
inline std::string fatalRe(const std::string& msg)
{
    std::string out = "### Fatal Error:  ";
    for (char c : msg) {
        if (std::string("()[]{}.*+?^$|\\").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// Big-endian byte builders for hand-made items.
struct Bytes {
    std::string s;
    Bytes& u8(int v) { s.push_back(static_cast<char>(v)); return *this; }
    Bytes& i16(int v) { return u8((v >> 8) & 255).u8(v & 255); }
    Bytes& i32(int64_t v) { for (int k = 3; k >= 0; --k) u8(static_cast<int>((v >> (8 * k)) & 255)); return *this; }
    Bytes& i64(int64_t v) { for (int k = 7; k >= 0; --k) u8(static_cast<int>((v >> (8 * k)) & 255)); return *this; }
    Bytes& f32(float f) { uint32_t u; std::memcpy(&u, &f, 4); return i32(u); }
    Bytes& f64(double d) { uint64_t u; std::memcpy(&u, &d, 8); return i64(static_cast<int64_t>(u)); }
    Bytes& text(const std::string& t) { s += t; return *this; }
    Bytes& fill(int n, int byte) { s.append(n, static_cast<char>(byte)); return *this; }
    // Entry headers of the record stream.
    Bytes& size(int var, int len) { return u8(var).u8(0).u8(0).u8(0).i32(len); }
    Bytes& value(int var) { return u8(var).u8(0).u8(1).u8(0); }
    Bytes& eor() { return u8(0).u8(0).u8(2).u8(0).fill(4, 0); }
};

}  // namespace kestrum::test
