// Internal state of the uv layer shared by its implementation files (uvio.cpp: stream and
// variables, uvread.cpp: reading settings and records, uvwrite.cpp: writing records,
// uvselect.cpp: record selection).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::uvi {

// Variable flags.
constexpr int VF_COPY = 1;  // tracked for copy ("c")
constexpr int VF_UPDATE = 2;  // tracked for update ("u")
constexpr int VF_FREQ = 8;  // sky-frequency variables of the wavelength conversion
constexpr int VF_GEOM = 0x4000;  // variables of w from antenna positions and planet scaling
constexpr int VF_OVERRIDE = 128;
constexpr int VF_NOCOMPARE = 0x200;
constexpr int VF_LAZY = 0x1000;  // reader: value decoded when first used ("corr", "wcorr")

// uv handle flags.
constexpr int UV_FREQ = VF_FREQ;
constexpr int UV_GEOM = VF_GEOM;
constexpr int UV_SETUP = 0x2000;  // reading setup due before the next record
constexpr int UV_NEW = 16;
constexpr int UV_APPEND = 32;
constexpr int UV_AUTO = 0x400;
constexpr int UV_CROSS = 0x800;

constexpr int MAXVAR = 256;
constexpr int HASHSIZE = 123;
constexpr int MAXPRE = 9;
constexpr int MAXWIN = 16;
constexpr int MAXANT = 64;

struct Variable {
    std::string name;
    int type = 0;  // transfer type code
    int index = 0;  // position in "vartable"
    int length = 0;  // bytes on disk (element count x on-disk size)
    int flength = 0;  // length last read from the stream
    bool hasValue = false;
    std::vector<char> buf;  // value in memory form
    off_t pending = -1;  // VF_LAZY: offset in "visdata" of a value not yet decoded into buf
    int flags = 0;
    int64_t callno = 0;  // record counter at the last update
    int nchanged = 0;  // writer: successive changed writes
    std::vector<char> last;  // writer: last value written, for the comparison

    int count() const;  // element count
    const int* ints() const { return reinterpret_cast<const int*>(buf.data()); }
    const float* reals() const { return reinterpret_cast<const float*>(buf.data()); }
    const double* dbles() const { return reinterpret_cast<const double*>(buf.data()); }
};

// Line kinds.
enum { LINE_NONE = 0, LINE_CHANNEL = 1, LINE_WIDE = 2, LINE_VELOCITY = 3, LINE_FELOCITY = 4 };

struct Line {
    int kind = LINE_NONE;
    int n = 0;
    double start = 0, width = 1, step = 1;  // integers for channel and wide lines
};

// One clause of a selection group.
struct Op {
    int kind = 0;
    bool exclude = false;
    double lo = 0, hi = 0;
    std::string text;
};

struct Group {
    bool isAnd = true;
    bool tableUsed = false;
    std::vector<char> pairs;  // 2080 switches for antennas 1..64
    std::vector<Op> ops;  // sorted by kind, ties in order of arrival
    bool ampSet = false, ampExclude = false;
    double amplo = 0, amphi = 0;
    bool winSet = false;
    std::array<bool, MAXWIN> win{};
    int winFirst = 0, winLast = 0, winCount = 0;  // 0-based
};

// A preamble entry: "uv", "uvw", or a variable (index, or -1 when absent).
struct PreEntry {
    enum { UV, UVW, VAR } kind = VAR;
    int var = -1;
};

struct Uv {
    int tno = 0;
    int item = 0;  // "visdata"
    std::vector<Variable> vars;
    std::array<std::vector<int>, HASHSIZE> hash;
    int nvarWritten = 0;
    int flags = 0;
    int64_t callno = 0, mark = 0, maxvis = -1;
    off_t offset = 0, maxOffset = 0, fileSize = 0;
    bool cutShort = false;  // "visdata" ends before its valid length: a cut record ends the data
    int64_t corrCount = 0, wcorrCount = 0;

    std::vector<int> lazy;  // variables read with VF_LAZY
    // Read buffer over "visdata".
    std::vector<unsigned char> rbuf;
    off_t rbufStart = 0;
    size_t rbufLen = 0;

    // Reading settings.
    Line data, ref;
    bool refSet = false;
    std::string preambleText;
    std::vector<PreEntry> pre;
    bool preUvw = false;
    bool wavelength = false;
    bool ampApply = true, winApply = true;
    int gflag = 1;
    int flagMode = 1;  // write side: 1 logical, 2 runs
    int corrType = 4;  // write side type of "corr"

    // Planet scaling.
    bool planet = false, planetRefSet = false;
    double plmaj = 0, plmin = 0, plangle = 0;
    double fluxScale = 1;
    std::array<double, 4> rot{1, 0, 0, 1};

    // Variables of the reading (indices, -1 when absent) and the masks.
    int corr = -1, wcorr = -1, tscale = -1, coord = -1, time = -1, baseline = -1;
    int nschan = -1, sfreq = -1, sdf = -1, restfreq = -1, wfreq = -1, wwidth = -1;
    int veldop = -1, vsource = -1;
    int mask = 0, wmask = 0;
    bool maskTried = false, wmaskTried = false;

    // u, v, w per antenna (nanoseconds) from "antpos", "lst", "obsra", "obsdec".
    bool wAntpos = false;
    std::vector<double> antU, antV, antW;

    // Variance: decided at first use; the watched set and the per-pair table.
    int varianceState = 0;  // 0 undecided, 1 computable, -1 not
    int varianceHandle = 0;
    std::vector<double> varianceTable;
    int varianceNants = 0;

    // Frequency of the wavelength conversion, recomputed when it may have changed.
    double skyfreq = 0;
    bool skyfreqValid = false;

    // Selection.
    std::vector<Group> groups;
    const Group* ampGroup = nullptr;  // clauses in force for the current record
    const Group* winGroup = nullptr;

    // Last line read (for uvinfo_c and uvflgwr_c).
    Line lastLine;
    int lastWinFirst = 0;
    int64_t lastFlagOffset = -1;

    int lastStart = 0;  // first input channel of the last line read

    // Input flags of the current record (for the record counter value in flagCall).
    std::vector<int> inFlags, inWFlags;
    int64_t flagCall = -1, wflagCall = -1;
    // Velocity resampling sums.
    std::vector<double> velAcc, velWeight;
    // Input channels of 16-bit data as floats.
    std::vector<float> inData;
};

// x truncated toward zero and saturated to the int range (NaN gives 0).
inline int toInt(double x)
{
    if (!(x == x))
        return 0;
    if (x >= 2147483647.0)
        return 2147483647;
    if (x <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(x);
}

// The open uv handle `tno`; fatal when none.
Uv& handle(int tno);
// Decodes a lazily read value into the variable's buffer.
void materialize(Uv& uv, Variable& v);
// A variable by name, or nullptr.
Variable* findVar(Uv& uv, const char* name);
Variable* varAt(Uv& uv, int index);
// Steps to the next record: the mark is set when `setMark`; returns 0 or -1 at the end.
int scanRecord(Uv& uv, const Variable* target);
bool changed(const Uv& uv, int index);
// Bytes of one element on disk and in memory.
int diskSize(int type);
int memSize(int type);
char typeLetter(int type);

// Writes a variable (uvputvr_c); `always` writes it in every call, without the comparison.
void putVar(int tno, int type, const char* var, const void* data, int n, bool always);

// printf-style messages through bug_c.
[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Selection (uvselect.cpp): evaluation of the current record, the setup checks, and
// the record limit.
bool selectRecord(Uv& uv);
void selectSetup(Uv& uv);
int64_t selectMaxvis(const Uv& uv);
// Antenna pair of a baseline number.
void basantPair(double baseline, int& a1, int& a2);
// Brings the planet scale and the per-antenna u, v, w up to date when their variables changed.
void geometryUpdate(Uv& uv);
// Whether "obsra", "obsdec", "lst" and "antpos" all exist (w can be computed).
bool canComputeW(Uv& uv);
// First element of a numeric (i, r, d) variable as double; `def` when absent or without value.
double numericValue(Uv& uv, const char* name, double def);
// Sky frequency (GHz) of the first output channel of the line, with `firstWindow` the first
// selected window (0 without a window clause).
double skyFrequency(Uv& uv, int firstWindow);

}  // namespace kestrum::uvi
