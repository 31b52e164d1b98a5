// The uv variable stream: opening and closing uv data sets, the variable table read from
// "vartable", scanning records of "visdata", reading single variables, and writing them.
#include "dataset/uvio.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "dataset/bug.h"
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/pack.h"
#include "dataset/uvint.h"

namespace kestrum::uvi {

namespace {

constexpr int MAXTREES = 26;
constexpr int MAXVHANDLES = 128;
constexpr size_t CHUNK = 1024 * 1024;

std::array<std::unique_ptr<Uv>, MAXTREES> table;

struct VarSet {
    bool used = false;
    int tno = 0;
    std::vector<int> vars;
    int64_t callno = 0;
};
std::array<VarSet, MAXVHANDLES> varSets;

int hashName(const char* name)
{
    int sum = 0;
    for (const char* p = name; *p; ++p)
        sum += static_cast<signed char>(*p);
    int r = sum % HASHSIZE;
    return r < 0 ? r + HASHSIZE : r;
}

int typeFromLetter(char c)
{
    switch (c) {
    case 'a':
        return IO_BYTE;
    case 'j':
        return IO_INT2;
    case 'i':
        return IO_INT;
    case 'r':
        return IO_REAL;
    case 'd':
        return IO_DBLE;
    case 'c':
        return IO_CMPLX;
    default:
        return 0;
    }
}

Variable& addVar(Uv& uv, const std::string& name, int type)
{
    Variable v;
    v.name = name;
    v.type = type;
    v.index = static_cast<int>(uv.vars.size());
    uv.vars.push_back(std::move(v));
    uv.hash[hashName(name.c_str())].push_back(uv.vars.back().index);
    return uv.vars.back();
}

int32_t be32(const unsigned char* p)
{
    return static_cast<int32_t>((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
                                uint32_t(p[3]));
}

void putBe32(char* p, int32_t v)
{
    auto u = static_cast<uint32_t>(v);
    p[0] = char(u >> 24);
    p[1] = char(u >> 16);
    p[2] = char(u >> 8);
    p[3] = char(u);
}

// Converts `count` elements of `type` from big-endian bytes to memory form.
void decode(int type, const unsigned char* in, char* out, int count)
{
    const char* src = reinterpret_cast<const char*>(in);
    switch (type) {
    case IO_BYTE:
        std::memcpy(out, src, count);
        break;
    case IO_INT2:
        unpack16_c(src, reinterpret_cast<int*>(out), count);
        break;
    case IO_INT:
        unpack32_c(src, reinterpret_cast<int*>(out), count);
        break;
    case IO_REAL:
        unpackr_c(src, reinterpret_cast<float*>(out), count);
        break;
    case IO_DBLE:
        unpackd_c(src, reinterpret_cast<double*>(out), count);
        break;
    case IO_CMPLX:
        unpackr_c(src, reinterpret_cast<float*>(out), 2 * count);
        break;
    }
}

void encode(int type, const void* in, char* out, int count)
{
    switch (type) {
    case IO_BYTE:
        std::memcpy(out, in, count);
        break;
    case IO_INT2:
        pack16_c(static_cast<const int*>(in), out, count);
        break;
    case IO_INT:
        pack32_c(static_cast<const int*>(in), out, count);
        break;
    case IO_REAL:
        packr_c(static_cast<const float*>(in), out, count);
        break;
    case IO_DBLE:
        packd_c(static_cast<const double*>(in), out, count);
        break;
    case IO_CMPLX:
        packr_c(static_cast<const float*>(in), out, 2 * count);
        break;
    }
}

// `n` bytes of "visdata" at `off` through the read buffer; nullptr when they lie beyond the
// valid data or the item.
const unsigned char* fetch(Uv& uv, off_t off, size_t n)
{
    off_t limit = std::min(uv.maxOffset, uv.fileSize);
    if (off < 0 || off + static_cast<off_t>(n) > limit)
        return nullptr;
    if (off >= uv.rbufStart && off + static_cast<off_t>(n) <= uv.rbufStart + static_cast<off_t>(uv.rbufLen))
        return uv.rbuf.data() + (off - uv.rbufStart);
    // Values still waiting in the buffer are decoded before it is refilled.
    for (int i : uv.lazy) {
        Variable& v = uv.vars[i];
        if (v.pending >= uv.rbufStart && v.pending + v.flength <= uv.rbufStart + static_cast<off_t>(uv.rbufLen)) {
            decode(v.type, uv.rbuf.data() + (v.pending - uv.rbufStart), v.buf.data(), v.flength / diskSize(v.type));
            v.pending = -1;
        }
    }
    size_t want = std::max(n, CHUNK);
    want = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(want), limit - off));
    if (uv.rbuf.size() < want)
        uv.rbuf.resize(want);
    int iostat = 0;
    hio_c(uv.item, 0, IO_BYTE, uv.rbuf.data(), off, static_cast<off_t>(want), &iostat);
    if (iostat != 0) {
        uv.rbufLen = 0;
        bugno_c('f', iostat);
    }
    uv.rbufStart = off;
    uv.rbufLen = want;
    return uv.rbuf.data();
}

void markChanged(Uv& uv, Variable& v)
{
    v.callno = uv.callno;
    uv.flags |= v.flags & (VF_COPY | VF_UPDATE | VF_FREQ | VF_GEOM);
}

void writeBytes(Uv& uv, const char* buf, off_t len, const char* warning, const char* name)
{
    int iostat = 0;
    hwriteb_c(uv.item, buf, uv.offset, len, &iostat);
    if (iostat != 0) {
        warn(warning, name);
        bugno_c('f', iostat);
    }
    uv.offset += len;
}

void readVartable(Uv& uv)
{
    int item = 0, iostat = 0;
    haccess_c(uv.tno, &item, "vartable", "read", &iostat);
    if (iostat != 0) {
        bug_c('w', "Error opening vartable, in UVOPEN(vartable_in)");
        bugno_c('f', iostat);
    }
    char line[256];
    for (;;) {
        hreada_c(item, line, sizeof line, &iostat);
        if (iostat == -1)
            break;
        if (iostat != 0)
            bugno_c('f', iostat);
        char letter = 0;
        char name[sizeof line];
        if (std::sscanf(line, "%c %255s", &letter, name) != 2)
            continue;  // blank line
        int type = typeFromLetter(letter);
        if (type == 0)
            fatal("Bad type (%c) for variable %s", letter, name);
        if (std::strlen(name) > 8)
            fatal("Variable name %s in vartable is too long, in UVOPEN(vartable_in)", name);
        if (uv.vars.size() >= MAXVAR)
            fatal("More than %d variables in vartable, in UVOPEN(vartable_in)", MAXVAR);
        addVar(uv, name, type);
    }
    hdaccess_c(item, &iostat);
    uv.nvarWritten = static_cast<int>(uv.vars.size());
}

// Items named like a variable override its value for the whole data set.
void applyOverrides(Uv& uv)
{
    int item = 0, iostat = 0;
    haccess_c(uv.tno, &item, ".", "read", &iostat);
    if (iostat != 0) {
        bug_c('w', "Error opening directory listing, in UVOPEN(override)");
        bugno_c('f', iostat);
    }
    char name[256];
    for (;;) {
        hreada_c(item, name, sizeof name, &iostat);
        if (iostat == -1)
            break;
        if (iostat != 0)
            fatal("Error %d when performing override checks, in UVOPEN", iostat);
        Variable* v = findVar(uv, name);
        if (!v)
            continue;
        char descr[1100] = "", type[32] = "";
        int n = 0;
        hdprobe_c(uv.tno, name, descr, sizeof descr, type, sizeof type, &n);
        bool numeric = v->type == IO_INT || v->type == IO_REAL || v->type == IO_DBLE;
        bool numItem = !std::strcmp(type, "integer") || !std::strcmp(type, "real") || !std::strcmp(type, "double");
        if (n != 1 || !((numeric && numItem) || (v->type == IO_BYTE && !std::strcmp(type, "character")))) {
            warn("Cannot override variable %s, in UVOPEN", name);
            continue;
        }
        if (v->type == IO_BYTE) {
            size_t len = std::strlen(descr);
            v->buf.assign(descr, descr + len);
            v->length = static_cast<int>(len);
        } else {
            v->buf.assign(memSize(v->type), 0);
            v->length = diskSize(v->type);
            if (v->type == IO_INT)
                rdhdi_c(uv.tno, name, reinterpret_cast<int*>(v->buf.data()), 0);
            if (v->type == IO_REAL)
                rdhdr_c(uv.tno, name, reinterpret_cast<float*>(v->buf.data()), 0);
            if (v->type == IO_DBLE)
                rdhdd_c(uv.tno, name, reinterpret_cast<double*>(v->buf.data()), 0);
        }
        v->flags |= VF_OVERRIDE;
        v->hasValue = true;
        v->callno = 1;
    }
    hdaccess_c(item, &iostat);
}

void writeVartable(Uv& uv)
{
    int item = 0, iostat = 0;
    haccess_c(uv.tno, &item, "vartable", "write", &iostat);
    if (iostat != 0) {
        bug_c('w', "Error opening vartable, in UVCLOSE(vartable_out)");
        bugno_c('f', iostat);
    }
    for (const Variable& v : uv.vars) {
        std::string line = std::string(1, typeLetter(v.type)) + " " + v.name + "\n";
        hwritea_c(item, line.c_str(), static_cast<int>(line.size()), &iostat);
        if (iostat != 0) {
            bug_c('w', "Error writing to vartable, in UVCLOSE(vartable_out)");
            bugno_c('f', iostat);
        }
    }
    hdaccess_c(item, &iostat);
    if (iostat != 0) {
        bug_c('w', "Error closing vartable, in UVCLOSE(vartable_out)");
        bugno_c('f', iostat);
    }
    uv.nvarWritten = static_cast<int>(uv.vars.size());
}

bool writing(const Uv& uv)
{
    return (uv.flags & (UV_NEW | UV_APPEND)) != 0;
}

void startRead(Uv& uv)
{
    uv.mark = uv.callno + 1;
    uv.flags &= ~(VF_COPY | VF_UPDATE);
}

}  // namespace

int Variable::count() const
{
    return length / diskSize(type);
}

int diskSize(int type)
{
    switch (type) {
    case IO_BYTE:
        return 1;
    case IO_INT2:
        return 2;
    case IO_INT:
    case IO_REAL:
        return 4;
    default:
        return 8;
    }
}

int memSize(int type)
{
    switch (type) {
    case IO_BYTE:
        return 1;
    case IO_INT2:
    case IO_INT:
    case IO_REAL:
        return 4;
    default:
        return 8;
    }
}

char typeLetter(int type)
{
    switch (type) {
    case IO_BYTE:
        return 'a';
    case IO_INT2:
        return 'j';
    case IO_INT:
        return 'i';
    case IO_REAL:
        return 'r';
    case IO_DBLE:
        return 'd';
    case IO_CMPLX:
        return 'c';
    default:
        return ' ';
    }
}

void fatal(const char* fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    bug_c('f', msg);
    std::abort();  // bug_c does not return on a fatal error
}

void warn(const char* fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    bug_c('w', msg);
}

Uv& handle(int tno)
{
    if (tno < 1 || tno >= MAXTREES || !table[tno])
        fatal("Invalid uv handle %d", tno);
    return *table[tno];
}

Variable* findVar(Uv& uv, const char* name)
{
    for (int i : uv.hash[hashName(name)])
        if (uv.vars[i].name == name)
            return &uv.vars[i];
    return nullptr;
}

void materialize(Uv& uv, Variable& v)
{
    if (v.pending < 0)
        return;
    const unsigned char* p = fetch(uv, v.pending, static_cast<size_t>(v.flength));
    if (!p)
        bugno_c('f', -1);
    decode(v.type, p, v.buf.data(), v.flength / diskSize(v.type));
    v.pending = -1;
}

Variable* varAt(Uv& uv, int index)
{
    return index < 0 ? nullptr : &uv.vars[index];
}

bool changed(const Uv& uv, int index)
{
    return index >= 0 && uv.vars[index].callno == uv.callno;
}

int scanRecord(Uv& uv, const Variable* target)
{
    for (;;) {
        uv.callno++;
        bool seen = false;
        const off_t recordStart = uv.offset;
        // The end of a data set cut short in the middle of a record: the data end before it.
        auto cut = [&] {
            uv.offset = recordStart;
            return -1;
        };
        for (;;) {
            const unsigned char* h = fetch(uv, uv.offset, 4);
            if (!h)
                return uv.cutShort ? cut() : -1;
            int idx = h[0], code = h[2];
            if (code == 2) {
                uv.offset += 8;
                break;
            }
            if (code != 0 && code != 1)
                fatal("Unrecognised record code %d, when scanning", code);
            if (idx >= static_cast<int>(uv.vars.size()))
                fatal("Variable index %d is beyond the variables of vartable, when scanning", idx);
            Variable& v = uv.vars[idx];
            int ds = diskSize(v.type);
            if (code == 0) {
                const unsigned char* p = fetch(uv, uv.offset, 8);
                if (!p && uv.cutShort)
                    return cut();
                if (!p) {
                    warn("Error reading a variable-length for %s, while UV scanning", v.name.c_str());
                    bugno_c('f', -1);
                }
                int len = be32(p + 4);
                // A value longer than the whole stream cannot follow.
                if (len < 1 || len > uv.maxOffset)
                    fatal("Variable %s has length of %d, when scanning", v.name.c_str(), len);
                if (len % ds != 0)
                    fatal("Non-integral no. elements in variable %s, when scanning", v.name.c_str());
                if (v.pending >= 0)
                    materialize(uv, v);
                v.flength = len;
                bool overridden = (v.flags & VF_OVERRIDE) != 0;
                if (!(overridden && v.type == IO_BYTE)) {
                    v.length = len;
                    int ms = memSize(v.type);
                    v.buf.resize(static_cast<size_t>(len / ds) * ms);
                    if (overridden)
                        for (size_t k = ms; k < v.buf.size(); k += ms)
                            std::memcpy(&v.buf[k], v.buf.data(), ms);
                    markChanged(uv, v);
                }
                uv.offset += 8;
            } else {
                if (v.flength == 0)
                    fatal("Variable %s has a value before its length, when scanning", v.name.c_str());
                off_t start = uv.offset + (ds == 8 ? 8 : 4);
                if (!(v.flags & VF_OVERRIDE)) {
                    const unsigned char* p = fetch(uv, start, static_cast<size_t>(v.flength));
                    if (!p && uv.cutShort)
                        return cut();
                    if (!p) {
                        warn("Error reading a variable value for %s, while UV scanning", v.name.c_str());
                        bugno_c('f', -1);
                    }
                    // The record data are decoded only for the records that are used; their
                    // bytes stay in the read buffer until then (or are decoded before a refill).
                    if (v.flags & VF_LAZY)
                        v.pending = start;
                    else
                        decode(v.type, p, v.buf.data(), v.flength / ds);
                    v.hasValue = true;
                    markChanged(uv, v);
                }
                if (&v == target)
                    seen = true;
                uv.offset = (start + v.flength + 7) & ~off_t(7);
            }
        }
        if (!target || seen)
            return 0;
    }
}

}  // namespace kestrum::uvi

using namespace kestrum::uvi;

extern "C" {

void uvopen_c(int* tno, const char* name, const char* status)
{
    const bool old = !std::strcmp(status, "old"), isNew = !std::strcmp(status, "new"),
               append = !std::strcmp(status, "append");
    if (!old && !isNew && !append)
        fatal("Status %s is not recognised by UVOPEN", status);
    int iostat = 0;
    hopen_c(tno, name, isNew ? "new" : "old", &iostat);
    if (iostat != 0) {
        warn("Error opening %s, in UVOPEN(%s)", name, status);
        bugno_c('f', iostat);
    }
    auto uvp = std::make_unique<Uv>();
    Uv& uv = *uvp;
    uv.tno = *tno;
    haccess_c(uv.tno, &uv.item, "visdata", old ? "read" : isNew ? "write" : "append", &iostat);
    if (iostat != 0) {
        warn("Error accessing visdata for %s, in UVOPEN(%s)", name, status);
        bugno_c('f', iostat);
    }
    table[uv.tno] = std::move(uvp);
    uv.flags = UV_SETUP;
    if (isNew) {
        uv.flags |= UV_NEW;
        return;
    }
    uv.fileSize = hsize_c(uv.item);
    int64_t vislen = 0;
    rdhdl_c(uv.tno, "vislen", &vislen, uv.fileSize);
    // The last end-of-record entry may stop after its 4-byte header, short of its padding. Beyond
    // that the end of the item is the end of the data: a data set cut short is read as far as
    // its records are whole.
    const bool beyond = vislen > ((uv.fileSize + 7) & ~off_t(7));
    if (vislen < 0 || (beyond && !old))
        fatal("Valid length %lld of visdata is beyond its size %lld, in UVOPEN(%s)", static_cast<long long>(vislen),
              static_cast<long long>(uv.fileSize), status);
    if (beyond) {
        warn("visdata of %s holds %lld bytes, fewer than its valid length %lld: reading the records it holds, in "
             "UVOPEN",
             name, static_cast<long long>(uv.fileSize), static_cast<long long>(vislen));
        vislen = uv.fileSize;
        uv.cutShort = true;
    }
    uv.maxOffset = vislen;
    readVartable(uv);
    if (old) {
        applyOverrides(uv);
        for (const char* name : {"corr", "wcorr"})
            if (Variable* v = findVar(uv, name)) {
                v->flags |= VF_LAZY;
                uv.lazy.push_back(v->index);
            }
        return;
    }
    uv.flags |= UV_APPEND;
    uv.offset = (vislen + 7) & ~off_t(7);
    char obstype[64];
    rdhda_c(uv.tno, "obstype", obstype, "", sizeof obstype);
    if (!std::strcmp(obstype, "autocorrelation"))
        uv.flags |= UV_AUTO;
    if (!std::strcmp(obstype, "crosscorrelation"))
        uv.flags |= UV_CROSS;
    if (!std::strcmp(obstype, "mixed-auto-cross"))
        uv.flags |= UV_AUTO | UV_CROSS;
    int64_t ncorr = -1, nwcorr = -1;
    rdhdl_c(uv.tno, "ncorr", &ncorr, -1);
    rdhdl_c(uv.tno, "nwcorr", &nwcorr, -1);
    if (ncorr < 0 || nwcorr < 0)
        fatal("Cannot append to uv file without 'ncorr' and/or 'nwcorr' items");
    uv.corrCount = ncorr;
    uv.wcorrCount = nwcorr;
}

void uvclose_c(int tno)
{
    Uv& uv = handle(tno);
    if (writing(uv))
        uvflush_c(tno);
    if (uv.mask)
        mkclose_c(uv.mask);
    if (uv.wmask)
        mkclose_c(uv.wmask);
    int iostat = 0;
    hdaccess_c(uv.item, &iostat);
    if (iostat != 0) {
        bug_c('w', "Error calling hdaccess for visdata, in UVCLOSE");
        bugno_c('f', iostat);
    }
    for (VarSet& s : varSets)
        if (s.used && s.tno == tno)
            s = VarSet{};
    table[tno].reset();
    hclose_c(tno);
}

void uvflush_c(int tno)
{
    Uv& uv = handle(tno);
    if (!writing(uv))
        return;
    if (uv.mask)
        mkflush_c(uv.mask);
    if (uv.wmask)
        mkflush_c(uv.wmask);
    if (static_cast<int>(uv.vars.size()) > uv.nvarWritten || ((uv.flags & UV_NEW) && uv.nvarWritten == 0))
        writeVartable(uv);
    if ((uv.flags & UV_AUTO) && (uv.flags & UV_CROSS))
        wrhda_c(tno, "obstype", "mixed-auto-cross");
    else if (uv.flags & UV_AUTO)
        wrhda_c(tno, "obstype", "autocorrelation");
    else if (uv.flags & UV_CROSS)
        wrhda_c(tno, "obstype", "crosscorrelation");
    wrhdl_c(tno, "nwcorr", uv.wcorrCount);
    wrhdl_c(tno, "ncorr", uv.corrCount);
    wrhdl_c(tno, "vislen", uv.offset);
    int iostat = 0;
    hflush_c(tno, &iostat);
    if (iostat != 0) {
        bug_c('w', "Error calling hflush, in UVFLSH");
        bugno_c('f', iostat);
    }
}

void uvnext_c(int tno)
{
    Uv& uv = handle(tno);
    if (writing(uv)) {
        char eor[8] = {0, 0, 2, 0, 0, 0, 0, 0};
        int iostat = 0;
        hwriteb_c(uv.item, eor, uv.offset, 8, &iostat);
        if (iostat != 0) {
            bug_c('w', "Error writing end-of-record, in UVNEXT");
            bugno_c('f', iostat);
        }
        uv.offset += 8;
        return;
    }
    startRead(uv);
    scanRecord(uv, nullptr);
}

int uvscan_c(int tno, const char* var)
{
    Uv& uv = handle(tno);
    const Variable* target = nullptr;
    if (var && *var) {
        target = findVar(uv, var);
        if (!target)
            fatal("Variable %s not found, in UVSCAN", var);
    }
    startRead(uv);
    return scanRecord(uv, target);
}

void uvrewind_c(int tno)
{
    Uv& uv = handle(tno);
    uv.offset = 0;
    uv.callno = 0;
    uv.mark = 0;
    for (Variable& v : uv.vars)
        v.callno = (v.flags & VF_OVERRIDE) ? 1 : 0;
    for (VarSet& s : varSets)
        if (s.used && s.tno == tno)
            s.callno = 0;
    uv.corrCount = 0;
    uv.wcorrCount = 0;
    uv.flagCall = uv.wflagCall = -1;  // record numbers start again
}

void uvrdvr_c(int tno, int type, const char* var, void* data, const void* def, int n)
{
    Uv& uv = handle(tno);
    Variable* v = findVar(uv, var);
    if (v)
        materialize(uv, *v);
    if (v && v->hasValue) {
        bool numeric = v->type == IO_INT || v->type == IO_REAL || v->type == IO_DBLE;
        double x = 0;
        if (numeric)
            x = v->type == IO_INT ? v->ints()[0] : v->type == IO_REAL ? v->reals()[0] : v->dbles()[0];
        if ((type == IO_INT || type == IO_REAL || type == IO_DBLE) && numeric) {
            if (type == IO_INT)
                *static_cast<int*>(data) = v->type == IO_INT ? v->ints()[0] : toInt(x);
            if (type == IO_REAL)
                *static_cast<float*>(data) = static_cast<float>(x);
            if (type == IO_DBLE)
                *static_cast<double*>(data) = x;
        } else if (type == IO_CMPLX && v->type == IO_CMPLX) {
            std::memcpy(data, v->buf.data(), 8);
        } else if (type == IO_BYTE && v->type == IO_BYTE) {
            if (n <= 0)
                return;
            size_t len = std::min<size_t>(v->buf.size(), static_cast<size_t>(n - 1));
            char* out = static_cast<char*>(data);
            std::memcpy(out, v->buf.data(), len);
            out[len] = 0;
            for (size_t k = std::strlen(out); k > 0 && out[k - 1] == ' '; --k)
                out[k - 1] = 0;
        } else {
            fatal("Type incompatiblity for variable %s, in UVRDVR", var);
        }
        return;
    }
    switch (type) {
    case IO_INT:
        *static_cast<int*>(data) = *static_cast<const int*>(def);
        break;
    case IO_REAL:
        *static_cast<float*>(data) = *static_cast<const float*>(def);
        break;
    case IO_DBLE:
        *static_cast<double*>(data) = *static_cast<const double*>(def);
        break;
    case IO_CMPLX:
        std::memcpy(data, def, 8);
        break;
    case IO_BYTE:
        if (n > 0) {
            std::snprintf(static_cast<char*>(data), static_cast<size_t>(n), "%s", static_cast<const char*>(def));
        }
        break;
    default:
        fatal("Type incompatiblity for variable %s, in UVRDVR", var);
    }
}

void uvgetvr_c(int tno, int type, const char* var, void* data, int n)
{
    Uv& uv = handle(tno);
    Variable* v = findVar(uv, var);
    if (!v)
        fatal("Variable %s not found, in UVGETVR", var);
    if (v->type != type)
        fatal("Variable %s has wrong type, in UVGETVR", var);
    if (!v->hasValue)
        fatal("Variable %s currently has no value, in UVGETVR", var);
    materialize(uv, *v);
    if (type == IO_BYTE) {
        if (static_cast<int>(v->buf.size()) + 1 > n)
            fatal("Buffer for variable %s has wrong size, in UVGETVR", var);
        std::memcpy(data, v->buf.data(), v->buf.size());
        static_cast<char*>(data)[v->buf.size()] = 0;
        return;
    }
    if (n != v->count())
        fatal("Buffer for variable %s has wrong size, in UVGETVR", var);
    std::memcpy(data, v->buf.data(), v->buf.size());
}

void uvprobvr_c(int tno, const char* var, char* type, int* length, int* updated)
{
    Uv& uv = handle(tno);
    Variable* v = findVar(uv, var);
    if (!v) {
        *type = ' ';
        *length = 0;
        *updated = 0;
        return;
    }
    *type = typeLetter(v->type);
    *length = v->count();
    *updated = v->callno >= uv.mark;
}

void uvtrack_c(int tno, const char* var, const char* switches)
{
    Uv& uv = handle(tno);
    Variable* v = findVar(uv, var);
    if (!v)
        return;
    for (const char* s = switches; *s; ++s) {
        if (*s == 'c')
            v->flags |= VF_COPY;
        else if (*s == 'u')
            v->flags |= VF_UPDATE;
        else if (*s != ' ')
            warn("Unrecognised switch %c, in UVTRACK", *s);
    }
}

int uvupdate_c(int tno)
{
    return (handle(tno).flags & VF_UPDATE) != 0;
}

void uvvarini_c(int tno, int* vhan)
{
    handle(tno);
    for (int i = 0; i < MAXVHANDLES; ++i) {
        if (varSets[i].used)
            continue;
        varSets[i] = VarSet{true, tno, {}, 0};
        *vhan = i + 1;
        return;
    }
    fatal("Ran out of variable handle slots, in UVVARINI");
}

static VarSet& varSet(int vhan)
{
    if (vhan < 1 || vhan > MAXVHANDLES || !varSets[vhan - 1].used)
        fatal("Invalid variable handle %d", vhan);
    return varSets[vhan - 1];
}

void uvvarset_c(int vhan, const char* var)
{
    VarSet& s = varSet(vhan);
    Variable* v = findVar(handle(s.tno), var);
    if (v)
        s.vars.push_back(v->index);
}

int uvvarupd_c(int vhan)
{
    VarSet& s = varSet(vhan);
    Uv& uv = handle(s.tno);
    bool upd = false;
    for (int i : s.vars)
        upd = upd || uv.vars[i].callno > s.callno;
    s.callno = uv.callno;
    return upd;
}

void uvputvr_c(int tno, int type, const char* var, const void* data, int n)
{
    putVar(tno, type, var, data, n, false);
}

void uvcopyvr_c(int tin, int tout)
{
    Uv& in = handle(tin);
    for (Variable& v : in.vars)
        if ((v.flags & VF_COPY) && v.hasValue && v.callno == in.callno) {
            materialize(in, v);
            uvputvr_c(tout, v.type, v.name.c_str(), v.buf.data(), v.count());
        }
}

}  // extern "C"

namespace kestrum::uvi {

void putVar(int tno, int type, const char* var, const void* data, int n, bool always)
{
    Uv& uv = handle(tno);
    if (n <= 0) {
        warn("Variable %s has zero or negative size, in UVPUTVR", var);
        return;
    }
    Variable* v = findVar(uv, var);
    if (!v) {
        if (std::strlen(var) > 8)
            fatal("The variable name %s is too long, in UVPUTVR", var);
        if (typeLetter(type) == ' ')
            fatal("Unsupported type %d for variable %s, in UVPUTVR", type, var);
        if (uv.vars.size() >= MAXVAR)
            fatal("Too many variables (%s), in UVPUTVR", var);
        v = &addVar(uv, var, type);
    }
    if (v->type != type)
        fatal("Variable %s has changed type, in UVPUTVR", var);
    if (always)
        v->flags |= VF_NOCOMPARE;
    const int ds = diskSize(type), ms = memSize(type);
    const int length = n * ds;
    bool resized = false;
    if (length != v->length) {
        char entry[8] = {static_cast<char>(v->index), 0, 0, 0};
        writeBytes(uv, entry, 4, "Error writing variable-length header for %s, in UVPUTVR", var);
        putBe32(entry, length);
        writeBytes(uv, entry, 4, "Error writing variable-length for %s, in UVPUTVR", var);
        v->length = length;
        resized = true;
    }
    const size_t bytes = static_cast<size_t>(n) * ms;
    if (!resized && !(v->flags & VF_NOCOMPARE) && v->last.size() == bytes &&
        !std::memcmp(v->last.data(), data, bytes)) {
        v->nchanged = 0;
        return;
    }
    const int head = ds == 8 ? 8 : 4;
    std::vector<char> entry((head + length + 7) & ~7, 0);
    entry[0] = static_cast<char>(v->index);
    entry[2] = 1;
    encode(type, data, entry.data() + head, n);
    int iostat = 0;
    hwriteb_c(uv.item, entry.data(), uv.offset, head, &iostat);
    if (iostat != 0) {
        warn("Error writing variable-value header for %s, in UVPUTVR", var);
        bugno_c('f', iostat);
    }
    hwriteb_c(uv.item, entry.data() + head, uv.offset + head, static_cast<off_t>(entry.size()) - head, &iostat);
    if (iostat != 0) {
        warn("Error writing variable-value for %s, in UVPUTVR", var);
        bugno_c('f', iostat);
    }
    uv.offset += static_cast<off_t>(entry.size());
    if (!(v->flags & VF_NOCOMPARE)) {
        if (++v->nchanged >= 8) {
            v->flags |= VF_NOCOMPARE;
            v->last.clear();
            v->last.shrink_to_fit();
        } else {
            v->last.assign(static_cast<const char*>(data), static_cast<const char*>(data) + bytes);
        }
    }
}

}  // namespace kestrum::uvi
