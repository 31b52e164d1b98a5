// Helpers of the data-set tests: items and trees of the container, hand-made and simulated uv data
// sets, reading their records, death-test patterns and big-endian byte building.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "tests/support/support.h"
#include "tools/sim/uvwriter.h"

namespace kestrum::test {

inline std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

// One entry of a "header" item: the name block, the data, padding to 16 (none after the last).
inline std::string entry(const std::string& name, const std::string& data, bool last = false, char padding = 0)
{
    std::string e = name + std::string(15 - name.size(), '\0') + static_cast<char>(data.size()) + data;
    if (!last)
        e += std::string((16 - e.size() % 16) % 16, padding);
    return e;
}

inline int openTree(const std::string& path, const char* status)
{
    int tno = 0, st = 0;
    hopen_c(&tno, path.c_str(), status, &st);
    EXPECT_EQ(st, 0) << path;
    return tno;
}

// Writes `data` as bytes to a new item and ends the access.
inline void putItem(int tno, const char* name, const std::string& data)
{
    int it, st;
    haccess_c(tno, &it, name, "write", &st);
    ASSERT_EQ(st, 0) << name;
    int st2;
    hwriteb_c(it, data.data(), 0, static_cast<off_t>(data.size()), &st);
    hdaccess_c(it, &st2);
    ASSERT_EQ(st | st2, 0) << name;
}

// The whole item as bytes; empty with *status set when it cannot be read.
inline std::string getItem(int tno, const char* name, int* status = nullptr)
{
    int it, st;
    haccess_c(tno, &it, name, "read", &st);
    if (status)
        *status = st;
    if (st)
        return "";
    std::string data(static_cast<size_t>(hsize_c(it)), '\0');
    hreadb_c(it, data.data(), 0, static_cast<off_t>(data.size()), &st);
    EXPECT_EQ(st, 0) << name;
    hdaccess_c(it, &st);
    return data;
}

// The names the "." item lists.
inline std::vector<std::string> listing(int tno)
{
    int it, st;
    haccess_c(tno, &it, ".", "read", &st);
    EXPECT_EQ(st, 0);
    std::vector<std::string> names;
    char line[64];
    for (hreada_c(it, line, sizeof line, &st); st == 0; hreada_c(it, line, sizeof line, &st))
        names.push_back(line);
    EXPECT_EQ(st, -1);
    hdaccess_c(it, &st);
    return names;
}

// A data-set directory `name` holding exactly the given files (name, bytes).
inline std::string handMadeSet(const TempDir& dir, const std::string& name,
                               const std::vector<std::pair<std::string, std::string>>& files)
{
    const std::string path = dir.file(name);
    mkdir(path.c_str(), 0777);
    for (const auto& [file, contents] : files)
        writeFile(path + "/" + file, contents);
    return path;
}

// A uv data set of the given "vartable" and "visdata" with an empty "header".
inline std::string handMadeUv(const TempDir& dir, const std::string& vartable, const std::string& visdata,
                              const std::string& name = "hand.uv")
{
    return handMadeSet(dir, name, {{"header", ""}, {"vartable", vartable}, {"visdata", visdata}});
}

// Writes the simulated data set `d` as `name` in `dir`; returns its path.
inline std::string writeSim(const TempDir& dir, const std::string& name, const kestrum::sim::UvDescription& d)
{
    const std::string path = dir.file(name);
    kestrum::sim::writeUv(path, d);
    return path;
}

struct ReadRecord {
    std::vector<double> pre;
    std::vector<float> data;  // (real, imaginary) pairs
    std::vector<int> flags;
    double visno = 0;
};

// A uv data set opened "old", `setup` applied (settings, selections), read record by record; closed
// on destruction.
struct UvReader {
    int tno = 0;
    explicit UvReader(const std::string& path, const std::function<void(int)>& setup = {})
    {
        uvopen_c(&tno, path.c_str(), "old");
        if (setup)
            setup(tno);
    }
    ~UvReader() { uvclose_c(tno); }

    // The next record with a preamble of `npre` doubles; no flags when none is left.
    ReadRecord next(int npre = 4, int capacity = 4096)
    {
        ReadRecord r;
        r.pre.assign(npre, 0);
        r.data.assign(2 * capacity, 0);
        r.flags.assign(capacity, 0);
        int nread = 0;
        uvread_c(tno, r.pre.data(), r.data.data(), r.flags.data(), capacity, &nread);
        r.data.resize(2 * nread);
        r.flags.resize(nread);
        if (nread)
            uvinfo_c(tno, "visno", &r.visno);
        return r;
    }
    // uvinfo_c's `n` values of `object`.
    std::vector<double> info(const char* object, size_t n = 1)
    {
        std::vector<double> v(n);
        uvinfo_c(tno, object, v.data());
        return v;
    }
};

// Every record of `path` read with a preamble of `npre` doubles after `setup`.
inline std::vector<ReadRecord> readAll(const std::string& path, const std::function<void(int)>& setup = {},
                                       int npre = 4, int capacity = 4096)
{
    UvReader reader(path, setup);
    std::vector<ReadRecord> out;
    for (ReadRecord r = reader.next(npre, capacity); !r.flags.empty(); r = reader.next(npre, capacity))
        out.push_back(std::move(r));
    return out;
}

// `text` as a death-test pattern matching it literally.
inline std::string escapeRe(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (std::string("()[]{}.*+?^$|\\").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// A death-test pattern matching the fatal message `msg` literally.
inline std::string fatalRe(const std::string& msg)
{
    return escapeRe("### Fatal Error:  " + msg);
}

// Big-endian byte builders for hand-made items.
struct Bytes {
    std::string s;
    Bytes& be(uint64_t v, int n)
    {
        for (int k = n - 1; k >= 0; --k)
            s.push_back(static_cast<char>(v >> (8 * k)));
        return *this;
    }
    Bytes& u8(int v) { return be(static_cast<uint64_t>(v), 1); }
    Bytes& i16(int v) { return be(static_cast<uint64_t>(v), 2); }
    Bytes& i32(int64_t v) { return be(static_cast<uint64_t>(v), 4); }
    Bytes& f32(float f) { return be(std::bit_cast<uint32_t>(f), 4); }
    Bytes& f64(double d) { return be(std::bit_cast<uint64_t>(d), 8); }
    Bytes& text(const std::string& t) { return s += t, *this; }
    Bytes& fill(int n, int byte) { return text(std::string(static_cast<size_t>(n), static_cast<char>(byte))); }
    // Entry headers of the record stream.
    Bytes& size(int var, int len) { return u8(var).be(0, 3).i32(len); }
    Bytes& value(int var) { return u8(var).u8(0).u8(1).u8(0); }
    Bytes& eor() { return u8(0).u8(0).u8(2).u8(0).fill(4, 0); }
};

}  // namespace kestrum::test
