// Header variables: small typed values stored as items after a 4-byte big-endian type tag,
// with readers that fall back to a default, writers, probing, copying and the history text.
#include "dataset/headio.h"

#include "dataset/bug.h"
#include "dataset/hio.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
const char binary_item[4] = {0, 0, 0, 0};
const char char_item[4] = {0, 0, 0, 1};
const char int_item[4] = {0, 0, 0, 2};
const char int2_item[4] = {0, 0, 0, 3};
const char real_item[4] = {0, 0, 0, 4};
const char dble_item[4] = {0, 0, 0, 5};
const char cmplx_item[4] = {0, 0, 0, 7};
const char int8_item[4] = {0, 0, 0, 8};
}

namespace {

constexpr int MAXTREES = 26;
int historyItem[MAXTREES];  // item handle of each tree's open "history", -1 when closed
bool historyReady = false;

bool isTag(const char* tag, const char* kind)
{
    return std::memcmp(tag, kind, 4) == 0;
}

// Every error on an opened item is fatal with the system's text.
void check(int iostat)
{
    if (iostat)
        bugno_c('f', iostat);
}

// Opens item `name` for reading and reads its tag; false (nothing open) when it cannot be
// opened.
bool openTagged(int tno, const char* name, int* item, char* tag, off_t* size)
{
    int st;
    haccess_c(tno, item, name, "read", &st);
    if (st)
        return false;
    *size = hsize_c(*item);
    hreadb_c(*item, tag, 0, 4, &st);
    check(st);
    return true;
}

void closeItem(int item)
{
    int st;
    hdaccess_c(item, &st);
    check(st);
}

// Opens the item for write (replacing it) and writes its tag.
int openForWrite(int tno, const char* name, const char* tag)
{
    int item, st;
    haccess_c(tno, &item, name, "write", &st);
    check(st);
    hwriteb_c(item, tag, 0, 4, &st);
    check(st);
    return item;
}

// Writes a header variable holding one value of transfer type `type`: the tag, then the value
// `bytes` long at `offset` (4 for 4-byte values, 8 where 8-byte alignment is needed).
void writeTagged(int tno, const char* name, const char* tag, int type, const void* value, off_t offset, off_t bytes)
{
    int st;
    const int item = openForWrite(tno, name, tag);
    hio_c(item, 1, type, const_cast<void*>(value), offset, bytes, &st);
    check(st);
    closeItem(item);
}

// One number read from a header variable. Nothing is found when the item is absent or a
// recognised tag has the wrong size.
struct Number {
    bool found = false;
    bool integral = true;  // in `whole`, else in `real`
    int64_t whole = 0;
    double real = 0;
};

// The reader of rdhdd_c and rdhdl_c: "integer" and "integer*8" items, and with `reals` also
// "real" and "double"; any other tag is fatal with `unrecognised`.
Number readNumber(int tno, const char* name, bool reals, const char* unrecognised)
{
    Number n;
    int item, st = 0;
    char tag[4];
    off_t size;
    if (!openTagged(tno, name, &item, tag, &size))
        return n;
    if (isTag(tag, int_item)) {
        if ((n.found = size == 8)) {
            int v;
            hreadi_c(item, &v, 4, 4, &st);
            n.whole = v;
        }
    } else if (isTag(tag, int8_item)) {
        if ((n.found = size == 16))
            hreadl_c(item, &n.whole, 8, 8, &st);
    } else if (reals && isTag(tag, real_item)) {
        if ((n.found = size == 8)) {
            float v;
            hreadr_c(item, &v, 4, 4, &st);
            n.integral = false;
            n.real = v;
        }
    } else if (reals && isTag(tag, dble_item)) {
        if ((n.found = size == 16)) {
            hreadd_c(item, &n.real, 8, 8, &st);
            n.integral = false;
        }
    } else {
        bug_c('f', unrecognised);
    }
    check(st);
    closeItem(item);
    return n;
}

int& history(int tno)
{
    if (!historyReady) {
        std::fill(std::begin(historyItem), std::end(historyItem), -1);
        historyReady = true;
    }
    if (tno < 1 || tno >= MAXTREES) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "Invalid data set handle %d, in HIS", tno);
        bug_c('f', msg);
    }
    return historyItem[tno];
}

}  // namespace

extern "C" {

void rdhdd_c(int tno, const char* name, double* value, double defval)
{
    const Number n = readNumber(tno, name, true, "Unrecognised type in rdhdd");
    *value = !n.found ? defval : n.integral ? static_cast<double>(n.whole) : n.real;
}

void rdhdr_c(int tno, const char* name, float* value, float defval)
{
    double d;
    rdhdd_c(tno, name, &d, defval);
    *value = static_cast<float>(d);
}

void rdhdi_c(int tno, const char* name, int* value, int defval)
{
    double d;
    rdhdd_c(tno, name, &d, defval);
    if (!(d >= -2147483648.0 && d < 2147483648.0))
        bug_c('f', "Integer overflow in rdhdi");
    *value = static_cast<int>(d);
}

void rdhdl_c(int tno, const char* name, int64_t* value, int64_t defval)
{
    const Number n = readNumber(tno, name, false, "Unrecognised type in rdhdl");
    *value = n.found ? n.whole : defval;
}

void rdhdc_c(int tno, const char* name, float* value, const float* defval)
{
    value[0] = defval[0];
    value[1] = defval[1];
    int item, st = 0;
    char tag[4];
    off_t size;
    if (!openTagged(tno, name, &item, tag, &size))
        return;
    if (size == 16 && isTag(tag, cmplx_item))
        hreadc_c(item, value, 8, 8, &st);
    check(st);
    closeItem(item);
}

void rdhda_c(int tno, const char* name, char* value, const char* defval, int length)
{
    if (length <= 0)
        return;
    int item, st = 0;
    char tag[4];
    off_t size;
    if (openTagged(tno, name, &item, tag, &size)) {
        const off_t m = std::min<off_t>(size - 4, length - 1);
        const bool text = m > 0 && isTag(tag, char_item);
        if (text) {
            hreadb_c(item, value, 4, m, &st);
            check(st);
            value[m] = 0;
        }
        closeItem(item);
        if (text)
            return;
    }
    std::snprintf(value, static_cast<size_t>(length), "%s", defval ? defval : "");
}

void wrhdi_c(int tno, const char* name, int value)
{
    writeTagged(tno, name, int_item, IO_INT, &value, 4, 4);
}

void wrhdr_c(int tno, const char* name, float value)
{
    writeTagged(tno, name, real_item, IO_REAL, &value, 4, 4);
}

void wrhdd_c(int tno, const char* name, double value)
{
    writeTagged(tno, name, dble_item, IO_DBLE, &value, 8, 8);
}

void wrhdl_c(int tno, const char* name, int64_t value)
{
    writeTagged(tno, name, int8_item, IO_INT8, &value, 8, 8);
}

void wrhdc_c(int tno, const char* name, const float* value)
{
    writeTagged(tno, name, cmplx_item, IO_CMPLX, value, 8, 8);
}

void wrhda_c(int tno, const char* name, const char* value)
{
    int st = 0;
    const int item = openForWrite(tno, name, char_item);
    const off_t n = static_cast<off_t>(std::strlen(value));
    if (n > 0)
        hwriteb_c(item, value, 4, n, &st);
    check(st);
    closeItem(item);
}

void hdprobe_c(int tno, const char* name, char* descr, int length, char* type, int typelen, int* n)
{
    auto setType = [&](const char* t) {
        if (typelen > 0)
            std::snprintf(type, static_cast<size_t>(typelen), "%s", t);
    };
    int item, st = 0;
    char tag[4];
    off_t size;
    *n = 0;
    {
        haccess_c(tno, &item, name, "read", &st);
        if (st) {
            setType("nonexistent");
            return;
        }
        size = hsize_c(item);
    }
    std::string text;
    bool described = false;
    if (size < 5) {
        setType("unknown");
        *n = static_cast<int>(size);
        closeItem(item);
        return;
    }
    hreadb_c(item, tag, 0, 4, &st);
    check(st);
    struct Numeric {
        const char* tag;
        const char* name;
        int offset, elsize;
    };
    static const Numeric numeric[] = {
        {real_item, "real", 4, 4},      {int_item, "integer", 4, 4}, {int2_item, "integer*2", 4, 2},
        {int8_item, "integer*8", 8, 8}, {dble_item, "double", 8, 8}, {cmplx_item, "complex", 8, 8},
    };
    const Numeric* kind = nullptr;
    for (const Numeric& k : numeric)
        if (isTag(tag, k.tag))
            kind = &k;
    char buf[128];
    if (kind) {
        const off_t body = size - kind->offset;
        if (body < 0 || body % kind->elsize != 0) {
            setType("unknown");
            *n = static_cast<int>(size);
        } else {
            setType(kind->name);
            *n = static_cast<int>(body / kind->elsize);
            if (*n == 1) {
                described = true;
                if (isTag(tag, real_item)) {
                    float v;
                    hreadr_c(item, &v, 4, 4, &st);
                    std::snprintf(buf, sizeof buf, "%-14.7g", static_cast<double>(v));
                } else if (isTag(tag, int_item)) {
                    int v;
                    hreadi_c(item, &v, 4, 4, &st);
                    std::snprintf(buf, sizeof buf, "%d", v);
                } else if (isTag(tag, int2_item)) {
                    int v;
                    hreadj_c(item, &v, 4, 2, &st);
                    std::snprintf(buf, sizeof buf, "%d", v);
                } else if (isTag(tag, int8_item)) {
                    int64_t v;
                    hreadl_c(item, &v, 8, 8, &st);
                    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
                } else if (isTag(tag, dble_item)) {
                    double v;
                    hreadd_c(item, &v, 8, 8, &st);
                    std::snprintf(buf, sizeof buf, "%-20.10g", v);
                } else {
                    float v[2];
                    hreadc_c(item, v, 8, 8, &st);
                    std::snprintf(buf, sizeof buf, "(%-14.7g,%-14.7g)", static_cast<double>(v[0]),
                                  static_cast<double>(v[1]));
                }
                check(st);
                text = buf;
            }
        }
    } else if (isTag(tag, char_item)) {
        setType("character");
        *n = 1;
        const off_t m = std::min<off_t>(size - 4, 1023);
        text.assign(static_cast<size_t>(m), '\0');
        hreadb_c(item, text.data(), 4, m, &st);
        check(st);
        text.resize(std::strlen(text.c_str()));
        described = true;
    } else if (isTag(tag, binary_item)) {
        setType("binary");
        *n = static_cast<int>(size);
    } else {
        bool printable = true;
        for (char c : tag) {
            const auto u = static_cast<unsigned char>(c);
            printable = printable && (std::isprint(u) || std::isspace(u));
        }
        setType(printable ? "text" : "unknown");
        *n = static_cast<int>(printable ? size + 4 : size);
    }
    closeItem(item);
    if (!described)
        return;
    if (static_cast<int>(text.size()) > length - 1)
        bug_c('f', "Descr buffer overflow in hdprobe");
    std::memcpy(descr, text.c_str(), text.size() + 1);
}

int hdprsnt_c(int tno, const char* name)
{
    return hexists_c(tno, name) ? 1 : 0;
}

void hdcopy_c(int tin, int tout, const char* name)
{
    int in, out, st;
    haccess_c(tin, &in, name, "read", &st);
    if (st)
        return;
    haccess_c(tout, &out, name, "write", &st);
    check(st);
    const off_t size = hsize_c(in);
    char buf[1024];
    for (off_t off = 0; off < size; off += sizeof buf) {
        const off_t n = std::min<off_t>(sizeof buf, size - off);
        hreadb_c(in, buf, off, n, &st);
        check(st);
        hwriteb_c(out, buf, off, n, &st);
        check(st);
    }
    closeItem(in);
    closeItem(out);
}

void hisopen_c(int tno, const char* status)
{
    int& h = history(tno);
    int st;
    haccess_c(tno, &h, "history", status, &st);
    if (st) {
        h = -1;
        bug_c('e', "Problem with history item");
        bugno_c('f', st);
    }
}

void hiswrite_c(int tno, const char* text)
{
    int st;
    hwritea_c(history(tno), text, static_cast<int>(std::strlen(text)) + 1, &st);
    check(st);
}

void hisread_c(int tno, char* text, int length, int* eof)
{
    int st;
    hreada_c(history(tno), text, length, &st);
    *eof = st == -1 ? 1 : 0;
    if (*eof && length > 0)
        text[0] = 0;
    if (st != -1)
        check(st);
}

void hisclose_c(int tno)
{
    int& h = history(tno);
    const int item = h;
    h = -1;
    closeItem(item);
}

}  // extern "C"
