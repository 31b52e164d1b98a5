// Record selection of uv data sets: clause groups joined by "and"/"or", their operators,
// antenna-pair tables, amplitude and window clauses, evaluation per record, and the checks
// and record limit of the reading setup.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "dataset/hio.h"
#include "dataset/uvint.h"
#include "dataset/uvio.h"

namespace kestrum::uvi {

namespace {

enum {
    SEL_VIS = 1,
    SEL_TIME,
    SEL_UVN,
    SEL_POINT,
    SEL_DRA,
    SEL_DDEC,
    SEL_INC,
    SEL_RA,
    SEL_DEC,
    SEL_POL,
    SEL_ON,
    SEL_SRC,
    SEL_UV,
    SEL_FREQ,
    SEL_SHADOW,
    SEL_BIN,
    SEL_HA,
    SEL_LST,
    SEL_ELEV,
    SEL_SEEING
};

constexpr int NPAIRS = MAXANT * (MAXANT + 1) / 2;

int pairIndex(int a, int b)
{
    return (b - 1) * b / 2 + a - 1;
}

int nint(double x)
{
    return toInt(std::round(x));
}

void addOp(Group& g, Op op)
{
    if (g.ops.capacity() == g.ops.size())
        g.ops.reserve(std::max<size_t>(16, 2 * g.ops.size()));
    auto at = std::upper_bound(g.ops.begin(), g.ops.end(), op.kind, [](int k, const Op& o) { return k < o.kind; });
    g.ops.insert(at, std::move(op));
}

void useTable(Group& g, bool include)
{
    if (g.tableUsed)
        return;
    g.tableUsed = true;
    g.pairs.assign(NPAIRS, include ? 0 : 1);
}

bool matchPattern(const char* pat, const char* s)
{
    if (!*pat)
        return !*s;
    if (*pat == '*') {
        for (const char* t = s;; ++t) {
            if (matchPattern(pat + 1, t))
                return true;
            if (!*t)
                return false;
        }
    }
    return *pat == *s && matchPattern(pat + 1, s + 1);
}

bool inRange(double x, const Op& op)
{
    return x >= op.lo && x <= op.hi;
}

bool matches(Uv& uv, const Group& g, const Op& op, int a1, int a2)
{
    const double* coord = uv.vars[uv.coord].dbles();
    switch (op.kind) {
    case SEL_VIS:
        return inRange(static_cast<double>(uv.callno), op);
    case SEL_TIME: {
        double t = uv.vars[uv.time].dbles()[0];
        double day = t - 0.5 - std::floor(t - 0.5);
        return inRange(t, op) || inRange(day, op);
    }
    case SEL_UVN:
        return inRange(coord[0] * coord[0] + coord[1] * coord[1], op);
    case SEL_UV: {
        double f = skyFrequency(uv, g.winSet ? g.winFirst : 0);
        return inRange((coord[0] * coord[0] + coord[1] * coord[1]) * f * f, op);
    }
    case SEL_FREQ:
        return inRange(skyFrequency(uv, g.winSet ? g.winFirst : 0), op);
    case SEL_POINT: {
        const Variable* v = findVar(uv, "axisrms");
        int n = v->count() / 2;
        if (a1 < 1 || a2 < 1 || a1 > n || a2 > n)
            fatal("Bad antenna numbers when checking pointing, in UVREAD(select)");
        const float* r = v->reals();
        double m = std::max({r[2 * a1 - 2], r[2 * a1 - 1], r[2 * a2 - 2], r[2 * a2 - 1]});
        return inRange(m, op);
    }
    case SEL_DRA:
        return inRange(numericValue(uv, "dra", 0), op);
    case SEL_DDEC:
        return inRange(numericValue(uv, "ddec", 0), op);
    case SEL_INC:
        return (uv.callno - 1) % nint(op.lo) == 0;
    case SEL_RA: {
        double ra = numericValue(uv, "ra", 0);
        if (findVar(uv, "dra"))
            ra += numericValue(uv, "dra", 0) / std::cos(numericValue(uv, "dec", 0) + numericValue(uv, "ddec", 0));
        return inRange(ra, op);
    }
    case SEL_DEC:
        return inRange(numericValue(uv, "dec", 0) + numericValue(uv, "ddec", 0), op);
    case SEL_POL:
        return nint(numericValue(uv, "pol", 1)) == nint(op.lo);
    case SEL_ON:
        return nint(numericValue(uv, "on", 0)) == nint(op.lo);
    case SEL_SRC: {
        const Variable* v = findVar(uv, "source");
        std::string s(v->buf.begin(), v->buf.end());
        s = s.substr(0, s.find('\0'));
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return matchPattern(op.text.c_str(), s.c_str());
    }
    case SEL_BIN: {
        int b = nint(numericValue(uv, "bin", 0));
        return b >= nint(op.lo) && b <= nint(op.hi);
    }
    case SEL_HA: {
        double ha = numericValue(uv, "lst", 0) - numericValue(uv, "obsra", 0);
        if (ha > M_PI)
            ha -= 2 * M_PI;
        else if (ha < -M_PI)
            ha += 2 * M_PI;
        return inRange(ha, op);
    }
    case SEL_LST: {
        double lst = numericValue(uv, "lst", 0);
        return op.hi <= op.lo ? (lst >= op.lo || lst <= op.hi) : inRange(lst, op);
    }
    case SEL_ELEV:
        return inRange(numericValue(uv, "antel", 0), op);
    case SEL_SHADOW: {
        geometryUpdate(uv);
        double diam = op.hi;
        if (diam == 0) {
            if (!findVar(uv, "antdiam") || !findVar(uv, "antdiam")->hasValue)
                fatal("No antenna diameter info available, in UVREAD(shadow_select)");
            diam = numericValue(uv, "antdiam", 0);
        }
        const double d = diam * 1e6 / 299792.458;  // metres to nanoseconds
        const int n = static_cast<int>(uv.antU.size());
        if (a1 < 1 || a2 < 1 || a1 > n || a2 > n)
            fatal("Bad antenna numbers when checking shadowing, in UVREAD(select)");
        auto shadowed = [&](int a) {
            for (int k = 0; k < n; ++k) {
                if (k == a - 1)
                    continue;
                const double du = uv.antU[k] - uv.antU[a - 1], dv = uv.antV[k] - uv.antV[a - 1];
                if (du * du + dv * dv <= d * d && uv.antW[k] - uv.antW[a - 1] >= 0)
                    return true;
            }
            return false;
        };
        return shadowed(a1) || (a2 != a1 && shadowed(a2));
    }
    case SEL_SEEING:
        return inRange(numericValue(uv, "smonrms", 0), op);
    default:
        return true;
    }
}

bool evalGroup(Uv& uv, const Group& g)
{
    int a1 = 0, a2 = 0;
    double bl = uv.vars[uv.baseline].reals()[0];
    basantPair(bl, a1, a2);
    if (g.tableUsed) {
        int lo = std::min(a1, a2), hi = std::max(a1, a2);
        if (lo < 1 || hi > MAXANT) {
            warn("Discarded data with bad antenna numbers when selecting: baseline number is %d\n", toInt(bl + 0.5));
            return false;
        }
        if (!g.pairs[pairIndex(lo, hi)])
            return false;
    }
    for (size_t i = 0; i < g.ops.size();) {
        const int kind = g.ops[i].kind;
        bool verdict = g.ops[i].exclude;
        for (; i < g.ops.size() && g.ops[i].kind == kind; ++i)
            if (matches(uv, g, g.ops[i], a1, a2))
                verdict = !g.ops[i].exclude;
        if (!verdict)
            return false;
    }
    return true;
}

void checkType(Uv& uv, const char* name, int type, bool required)
{
    Variable* v = findVar(uv, name);
    if (!v) {
        if (required)
            fatal("Variable %s is missing, in UVREAD", name);
        return;
    }
    if (v->type != type)
        fatal("Variable %s has the wrong data type, in UVREAD", name);
    if (required && !v->hasValue)
        fatal("Variable %s was not initialised before it was required, in UVREAD", name);
}

void checkRaDec(Uv& uv, const char* name)
{
    Variable* v = findVar(uv, name);
    if (!v)
        fatal("Variable %s is missing, in UVREAD", name);
    if (v->type != IO_REAL && v->type != IO_DBLE)
        fatal("Variable %s has the wrong type, in UVREAD(ini)", name);
}

}  // namespace

void basantPair(double baseline, int& a1, int& a2)
{
    int b = toInt(baseline + 0.5);
    int div = 256;
    if (b > 65536) {
        b -= 65536;
        div = 2048;
    }
    a1 = b / div;
    a2 = b % div;
}

bool selectRecord(Uv& uv)
{
    uv.ampGroup = uv.winGroup = nullptr;
    if (uv.groups.empty())
        return true;
    bool verdict = false;
    std::vector<const Group*> accepted;
    for (size_t i = 0; i < uv.groups.size(); ++i) {
        const Group& g = uv.groups[i];
        if (i != 0 && g.isAnd != verdict)
            continue;
        verdict = evalGroup(uv, g);
        if (verdict)
            accepted.push_back(&g);
        else
            accepted.clear();
    }
    if (!verdict)
        return false;
    for (const Group* g : accepted) {
        if (g->ampSet) {
            if (uv.ampGroup)
                fatal("Multiple amplitude selection clauses are active");
            uv.ampGroup = g;
        }
        if (g->winSet) {
            if (uv.winGroup)
                fatal("Multiple window selection clauses are active");
            uv.winGroup = g;
        }
    }
    if (uv.winGroup) {
        const Variable* ns = findVar(uv, "nschan");
        if (ns && uv.winGroup->winFirst >= ns->count())
            fatal("Invalid window selection, in UVREAD(select)");
    }
    return true;
}

void selectSetup(Uv& uv)
{
    int windowGroups = 0;
    bool orGroup = false, contiguous = true;
    for (const Group& g : uv.groups) {
        orGroup = orGroup || !g.isAnd;
        if (g.winSet) {
            ++windowGroups;
            contiguous = contiguous && g.winCount == g.winLast - g.winFirst + 1;
        }
        for (const Op& op : g.ops) {
            switch (op.kind) {
            case SEL_POL:
                checkType(uv, "pol", IO_INT, false);
                break;
            case SEL_ON:
                checkType(uv, "on", IO_INT, true);
                break;
            case SEL_BIN:
                checkType(uv, "bin", IO_INT, true);
                break;
            case SEL_SRC:
                checkType(uv, "source", IO_BYTE, true);
                break;
            case SEL_POINT:
                checkType(uv, "axisrms", IO_REAL, true);
                break;
            case SEL_SEEING:
                checkType(uv, "smonrms", IO_REAL, false);
                break;
            case SEL_DRA:
                checkType(uv, "dra", IO_REAL, false);
                break;
            case SEL_DDEC:
                checkType(uv, "ddec", IO_REAL, false);
                break;
            case SEL_ELEV:
                checkType(uv, "antel", IO_DBLE, true);
                break;
            case SEL_LST:
                checkType(uv, "lst", IO_DBLE, true);
                break;
            case SEL_SHADOW:
                for (const char* name : {"obsra", "obsdec", "lst", "antpos"})
                    checkType(uv, name, IO_DBLE, true);
                uv.wAntpos = true;
                break;
            case SEL_HA:
                checkType(uv, "lst", IO_DBLE, true);
                checkType(uv, "obsra", IO_DBLE, true);
                break;
            case SEL_RA:
                checkRaDec(uv, "ra");
                checkType(uv, "dra", IO_REAL, false);
                checkType(uv, "ddec", IO_REAL, false);
                if (findVar(uv, "dra"))
                    checkRaDec(uv, "dec");
                break;
            case SEL_DEC:
                checkRaDec(uv, "dec");
                checkType(uv, "ddec", IO_REAL, false);
                break;
            case SEL_UV:
            case SEL_FREQ:
                if (uv.data.kind == LINE_WIDE)
                    checkType(uv, "wfreq", IO_REAL, true);
                else {
                    checkType(uv, "nschan", IO_INT, true);
                    checkType(uv, "sfreq", IO_DBLE, true);
                    checkType(uv, "sdf", IO_DBLE, true);
                }
                break;
            default:
                break;
            }
        }
    }
    if (uv.data.kind == LINE_CHANNEL && uv.winApply && windowGroups > 0 && (windowGroups > 1 || orGroup || !contiguous))
        fatal("Unsupported window selection clause, in UVREAD(init)");
    uv.maxvis = selectMaxvis(uv);
}

int64_t selectMaxvis(const Uv& uv)
{
    if (uv.groups.empty())
        return -1;
    int64_t overall = -1;
    for (const Group& g : uv.groups) {
        double m = -1;
        for (const Op& op : g.ops)
            if (op.kind == SEL_VIS && !op.exclude)
                m = std::max(m, op.hi);
        if (m < 0)
            return -1;
        for (const Op& op : g.ops)
            if (op.kind == SEL_VIS && op.exclude && op.lo <= m && m <= op.hi)
                m = op.lo;
        overall = std::max(overall, static_cast<int64_t>(m));
    }
    return overall;
}

}  // namespace kestrum::uvi

using namespace kestrum::uvi;

namespace {

struct Kind {
    const char* name;
    int code;
};

constexpr Kind kinds[] = {
    {"visibility", SEL_VIS}, {"time", SEL_TIME},        {"uvnrange", SEL_UVN},  {"pointing", SEL_POINT},
    {"dra", SEL_DRA},        {"ddec", SEL_DDEC},        {"increment", SEL_INC}, {"ra", SEL_RA},
    {"dec", SEL_DEC},        {"polarization", SEL_POL}, {"on", SEL_ON},         {"uvrange", SEL_UV},
    {"frequency", SEL_FREQ}, {"bin", SEL_BIN},          {"ha", SEL_HA},         {"lst", SEL_LST},
    {"elevation", SEL_ELEV}, {"seeing", SEL_SEEING},
};

void validate(int code, double p1, double p2)
{
    switch (code) {
    case SEL_VIS:
        if (p1 < 0)
            fatal("Min visibility is negative, in UVSELECT");
        if (p1 > p2)
            fatal("Min visib is greater than max visib, in UVSELECT");
        break;
    case SEL_TIME:
        if (p1 >= p2)
            fatal("Min time is greater than or equal to max time, in UVSELECT.");
        break;
    case SEL_UVN:
    case SEL_UV:
        if (p1 >= p2)
            fatal("Min uv is greater than or equal to max uv in UVSELECT");
        if (p1 < 0)
            fatal("Min uv is negative, in UVSELECT");
        break;
    case SEL_POINT:
        if (p1 >= p2)
            fatal("Min pointing is greater than or equal to max pointing, in UVSELECT");
        if (p1 < 0)
            fatal("Min pointing is negative, in UVSELECT");
        break;
    case SEL_DRA:
        if (p1 >= p2)
            fatal("Min dra is greater than or equal to max dra, in UVSELECT.");
        break;
    case SEL_DDEC:
        if (p1 >= p2)
            fatal("Min ddec is greater than or equal to max ddec, in UVSELECT.");
        break;
    case SEL_INC:
        if (p1 < 1)
            fatal("Bad increment selected, in UVSELECT.");
        break;
    case SEL_RA:
        if (p1 >= p2)
            fatal("Min ra is greater than or equal to max ra, in UVSELECT.");
        break;
    case SEL_DEC:
        if (p1 >= p2)
            fatal("Min dec is greater than or equal to max dec, in UVSELECT.");
        break;
    case SEL_FREQ:
        if (p1 <= 0 || p2 < p1)
            fatal("Illegal values for sky frequency selection, in UVSELECT");
        break;
    case SEL_BIN:
        if (nint(p1) < 1 || nint(p2) < nint(p1))
            fatal("Bad pulsar bin number, in UVSELECT.");
        break;
    case SEL_HA:
        if (p1 >= p2)
            fatal("Min HA is greater than or equal to max HA, in UVSELECT.");
        break;
    case SEL_ELEV:
        if (p1 >= p2)
            fatal("Min elevation is greater than or equal to max elevation, in UVSELECT.");
        break;
    case SEL_SEEING:
        if (p1 >= p2)
            fatal("Min seeing is greater than or equal to max seeing, in UVSELECT");
        if (p1 < 0)
            fatal("Min seeing is negative, in UVSELECT");
        break;
    default:
        break;
    }
}

Group& lastGroup(Uv& uv)
{
    if (uv.groups.empty())
        uv.groups.emplace_back();
    return uv.groups.back();
}

}  // namespace

extern "C" {

void uvselect_c(int tno, const char* object, double p1, double p2, int include)
{
    Uv& uv = handle(tno);
    uv.flags |= UV_SETUP;
    uv.ampGroup = uv.winGroup = nullptr;  // they point into the groups, which may move
    const std::string obj = object;
    if (obj == "clear") {
        uv.groups.clear();
        return;
    }
    if (obj == "and" || obj == "or") {
        if (!uv.groups.empty()) {
            uv.groups.emplace_back();
            uv.groups.back().isAnd = obj == "and";
        }
        return;
    }
    const bool inc = include != 0;
    if (obj == "antennae") {
        int a = nint(p1), b = nint(p2);
        if (a > MAXANT || b > MAXANT)
            fatal("Too many antennae");
        if (a < 0 || b < 0)
            fatal("Negative antenna number, in UVSELECT");
        Group& g = lastGroup(uv);
        useTable(g, inc);
        int lo = std::min(a, b), hi = std::max(a, b);
        for (int j = 1; j <= MAXANT; ++j)
            for (int i = 1; i <= j; ++i)
                if ((lo == 0 && hi == 0) || (lo == 0 && (i == hi || j == hi)) || (i == lo && j == hi))
                    g.pairs[pairIndex(i, j)] = inc;
        return;
    }
    if (obj == "auto") {
        Group& g = lastGroup(uv);
        useTable(g, inc);
        for (int a = 1; a <= MAXANT; ++a)
            g.pairs[pairIndex(a, a)] = inc;
        return;
    }
    if (obj == "shadow") {
        if (p1 != 0 || p2 < 0)
            fatal("Bad antenna diameter, in UVSELECT.");
        addOp(lastGroup(uv), Op{SEL_SHADOW, !inc, p1, p2, {}});
        return;
    }
    if (obj == "amplitude") {
        Group& g = lastGroup(uv);
        if (g.ampSet)
            fatal("Cannot handle multiple amplitude selections in a clause");
        if (p1 < 0 || p1 >= p2)
            fatal("Bad amplitude range selected, in UVSELECT.");
        g.ampSet = true;
        g.ampExclude = !inc;
        g.amplo = p1;
        g.amphi = p2;
        return;
    }
    if (obj == "window") {
        int w = nint(p1);
        if (w < 1 || w > MAXWIN)
            fatal("Too many windows");
        Group& g = lastGroup(uv);
        if (!g.winSet) {
            g.winSet = true;
            g.win.fill(!inc);
        }
        g.win[w - 1] = inc;
        g.winCount = 0;
        g.winFirst = MAXWIN;
        g.winLast = -1;
        for (int k = 0; k < MAXWIN; ++k) {
            if (!g.win[k])
                continue;
            ++g.winCount;
            g.winFirst = std::min(g.winFirst, k);
            g.winLast = std::max(g.winLast, k);
        }
        if (g.winCount == 0)
            g.winFirst = g.winLast = 0;
        return;
    }
    for (const Kind& k : kinds) {
        if (obj != k.name)
            continue;
        validate(k.code, p1, p2);
        Op op{k.code, !inc, p1, p2, {}};
        if (k.code == SEL_UVN || k.code == SEL_UV) {
            op.lo = p1 * p1;
            op.hi = p2 * p2;
        }
        addOp(lastGroup(uv), op);
        return;
    }
    warn("Unrecognised selection \"%s\" ignored, in UVSELECT", object);
}

void uvsela_c(int tno, const char* object, const char* text, int include)
{
    Uv& uv = handle(tno);
    uv.flags |= UV_SETUP;
    uv.ampGroup = uv.winGroup = nullptr;
    if (std::strcmp(object, "source") != 0) {
        warn("Unrecognised selection \"%s\" ignored, in UVSELA", object);
        return;
    }
    addOp(lastGroup(uv), Op{SEL_SRC, include == 0, 0, 0, text});
}

}  // extern "C"
