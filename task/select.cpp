// Data selection: each field of the "select" keyword is one subcommand such as time(t1,t2) or
// -antennae(3), stored in the selection array as an entry
//     code, sense (1 select, 0 reject), number of values, values...
// after the entry count and the reference Julian date. Values are held in the units the
// reader tests (radians for angles, wavelengths for uvrange), absolute times as days after
// the reference date so that single precision keeps them to a fraction of a second.
#include "task/select.h"

#include "dataset/bug.h"
#include "dataset/uvio.h"
#include "task/key.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum Object {
    Time = 1,
    Antennae,
    Uvrange,
    Pointing,
    Amplitude,
    Visibility,
    Window,
    Uvnrange,
    Or,
    Dra,
    Ddec,
    Increment,
    Polarization,
    On,
    Shadow,
    Auto,
    Frequency,
    Source,
    Ra,
    Dec,
    Bin,
    Ha,
    Lst,
    Elevation,
    Seeing
};

const char* const Names[] = {"time",     "antennae", "uvrange",   "pointing", "amplitude", "visibility",   "window",
                             "uvnrange", "or",       "dra",       "ddec",     "increment", "polarization", "on",
                             "shadow",   "auto",     "frequency", "source",   "ra",        "dec",          "bin",
                             "ha",       "lst",      "elevation", "seeing"};
constexpr int NumObjects = 25;

constexpr double Pi = 3.14159265358979323846;
constexpr double ArcsecToRad = Pi / (180.0 * 3600.0);
constexpr int MaxAntenna = 64;
constexpr int MaxWindow = 16;
constexpr size_t FieldLen = 4096;

const struct {
    const char* name;
    int code;
} PolNames[] = {{"i", 1},   {"q", 2},   {"u", 3},   {"v", 4},   {"rr", -1}, {"ll", -2},
                {"rl", -3}, {"lr", -4}, {"xx", -5}, {"yy", -6}, {"xy", -7}, {"yx", -8}};

// Time entries carry the kind of their range first.
constexpr float TimeOfDay = 0.0f;
constexpr float Absolute = 1.0f;

[[noreturn]] void fail(const std::string& what, const std::string& text)
{
    bug_c('f', (what + ": " + text).c_str());
    std::abort();  // bug_c does not return for fatal errors
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The code of an object name: the name itself or the beginning of exactly one name; 0 when
// unknown, -1 when ambiguous.
int objectCode(const std::string& name)
{
    int match = 0;
    for (int i = 0; i < NumObjects; ++i) {
        std::string n = Names[i];
        if (n == name)
            return i + 1;
        if (!name.empty() && n.compare(0, name.size(), name) == 0)
            match = match ? -1 : i + 1;
    }
    return match;
}

// A decimal number, all of the text.
bool number(const std::string& s, double& v)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    const char* p = s.c_str();
    if (!(std::isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '+' || *p == '.'))
        return false;
    v = std::strtod(p, &end);
    return *end == '\0' && std::isfinite(v) && s.find_first_of("xXnN") == std::string::npos;
}

// "[-]d[:m[:s]]" or a plain number, as d + m/60 + s/3600 with the sign applying to all.
bool sexagesimal(const std::string& s, double& v)
{
    if (s.find(':') == std::string::npos)
        return number(s, v);
    bool neg = !s.empty() && s[0] == '-';
    std::string body = (neg || (!s.empty() && s[0] == '+')) ? s.substr(1) : s;
    double parts[3] = {0, 0, 0};
    size_t k = 0, pos = 0;
    for (;;) {
        size_t colon = body.find(':', pos);
        std::string part = body.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
        if (k >= 3 || part.empty() || part[0] == '-' || part[0] == '+' || !number(part, parts[k]))
            return false;
        ++k;
        if (colon == std::string::npos)
            break;
        pos = colon + 1;
    }
    if (parts[1] >= 60 || parts[2] >= 60)
        return false;
    v = parts[0] + parts[1] / 60.0 + parts[2] / 3600.0;
    if (neg)
        v = -v;
    return true;
}

// Julian date of 0h on a calendar date (Gregorian).
double julianDay(int year, int month, int day)
{
    int a = (14 - month) / 12;
    int y = year + 4800 - a;
    int m = month + 12 * a - 3;
    long jdn = day + (153 * m + 2) / 5 + 365L * y + y / 4 - y / 100 + y / 400 - 32045;
    return static_cast<double>(jdn) - 0.5;
}

bool validDate(int year, int month, int day)
{
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] &&
        !(month == 2 && day == 29 && !(year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)));
}

// A time of day "hh:mm[:ss]" after a date: the fraction of the day; an empty text is 0.
bool dayFraction(const std::string& s, double& frac)
{
    double h = 0;
    if (!s.empty() && (!sexagesimal(s, h) || h < 0 || h > 24))
        return false;
    frac = h / 24.0;
    return true;
}

// A time: "hh:mm[:ss]" (a fraction of a day), "yyMMMdd[:hh[:mm[:ss]]]" or "yyyyMMMdd...",
// "yyyy-mm-dd[Thh[:mm[:ss]]]" (Julian dates), or a plain number (a Julian date, a fraction
// of a day below 1). Sets `absolute` for Julian dates.
bool decodeTime(const std::string& text, double& t, bool& absolute)
{
    static const char* const Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    std::string s = lower(text);
    double v;
    if (number(s, v)) {
        if (v < 0)
            return false;
        absolute = v >= 1.0;
        t = v;
        return true;
    }
    size_t i = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    size_t ndig = i;
    if (ndig > 0 && i < s.size() && s[i] == ':') {  // time of day
        if (!sexagesimal(s, v) || v < 0 || v > 24)
            return false;
        absolute = false;
        t = v / 24.0;
        return true;
    }
    int year, month, day;
    std::string rest;
    if ((ndig == 2 || ndig == 4) && i + 3 <= s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) {
        year = std::atoi(s.substr(0, ndig).c_str());
        if (ndig == 2)
            year += year < 50 ? 2000 : 1900;
        month = 0;
        for (int m = 0; m < 12; ++m)
            if (s.compare(i, 3, Months[m]) == 0)
                month = m + 1;
        size_t j = i + 3;
        size_t d0 = j;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
            ++j;
        if (month == 0 || j == d0 || j - d0 > 2)
            return false;
        day = std::atoi(s.substr(d0, j - d0).c_str());
        if (j < s.size() && s[j] != ':')
            return false;
        rest = j < s.size() ? s.substr(j + 1) : "";
    } else if (ndig == 4 && s.size() >= 10 && s[4] == '-' && s[7] == '-' &&
               std::isdigit(static_cast<unsigned char>(s[5])) && std::isdigit(static_cast<unsigned char>(s[6])) &&
               std::isdigit(static_cast<unsigned char>(s[8])) && std::isdigit(static_cast<unsigned char>(s[9]))) {
        year = std::atoi(s.substr(0, 4).c_str());
        month = std::atoi(s.substr(5, 2).c_str());
        day = std::atoi(s.substr(8, 2).c_str());
        if (s.size() > 10 && s[10] != 't')
            return false;
        rest = s.size() > 11 ? s.substr(11) : "";
    } else {
        return false;
    }
    double frac;
    if (!validDate(year, month, day) || !dayFraction(rest, frac))
        return false;
    t = julianDay(year, month, day) + frac;
    absolute = true;
    return true;
}

// One subcommand split into its name, sense and parenthesised value lists.
struct Command {
    std::string text;
    std::string name;
    int code = 0;
    bool include = true;
    std::vector<std::vector<std::string>> lists;
};

Command split(const std::string& field)
{
    Command c;
    c.text = field;
    size_t i = 0;
    if (i < field.size() && field[i] == '-') {
        c.include = false;
        ++i;
    }
    size_t open = field.find('(', i);
    c.name = lower(trim(field.substr(i, open == std::string::npos ? std::string::npos : open - i)));
    c.code = objectCode(c.name);
    if (c.code < 0)
        fail("Ambiguous selection command", field);
    if (c.code == 0)
        fail("Unrecognised selection command", field);
    i = open;
    while (i != std::string::npos && i < field.size()) {
        if (field[i] != '(')
            fail("Bad parameters in selection command", field);
        size_t close = field.find(')', i);
        if (close == std::string::npos || field.find('(', i + 1) < close)
            fail("Bad parameters in selection command", field);
        std::vector<std::string> values;
        std::string inner = field.substr(i + 1, close - i - 1);
        size_t pos = 0;
        for (;;) {
            size_t comma = inner.find(',', pos);
            values.push_back(trim(inner.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
            if (comma == std::string::npos)
                break;
            pos = comma + 1;
        }
        c.lists.push_back(values);
        i = close + 1;
    }
    return c;
}

// The values of a subcommand with one list of `lo` to `hi` values (none when no list).
const std::vector<std::string>& values(const Command& c, size_t lo, size_t hi)
{
    static const std::vector<std::string> none;
    if (c.lists.size() > 1)
        fail("Bad parameters in selection command", c.text);
    const std::vector<std::string>& v = c.lists.empty() ? none : c.lists[0];
    if (v.size() > hi)
        fail("Too many parameter values", c.text);
    if (v.size() < lo)
        fail("Bad parameters in selection command", c.text);
    return v;
}

double real(const Command& c, const std::string& s)
{
    double v;
    if (!number(s, v))
        fail("Error decoding a value", c.text);
    return v;
}

double angle(const Command& c, const std::string& s)
{
    double v;
    if (!sexagesimal(s, v))
        fail("Error decoding a value", c.text);
    return v;
}

int integer(const Command& c, const std::string& s)
{
    double v = real(c, s);
    if (v != std::floor(v) || std::fabs(v) > 16777216.0)
        fail("Error decoding a value", c.text);
    return static_cast<int>(v);
}

// A range [lo, hi] from one or two values, the missing low end being `deflo`; the ends are
// scaled by `scale` and must satisfy lo < hi (lo <= hi with `closed`) and lo >= `min`.
std::vector<double> range(const Command& c, bool oneIsHigh, double deflo, double scale, double min = -DBL_MAX,
                          bool closed = false)
{
    const auto& v = values(c, 1, 2);
    double lo, hi;
    if (v.size() == 2) {
        lo = real(c, v[0]);
        hi = real(c, v[1]);
    } else if (oneIsHigh) {
        lo = deflo;
        hi = real(c, v[0]);
    } else {
        lo = real(c, v[0]);
        hi = closed ? lo : FLT_MAX / scale;
    }
    if (lo < min || (closed ? lo > hi : lo >= hi))
        fail("Bad parameters in selection command", c.text);
    return {lo * scale, hi * scale};
}

// Two angles in sexagesimal or decimal form, scaled to radians.
std::vector<double> angles(const Command& c, double toRad, bool ordered)
{
    const auto& v = values(c, 2, 2);
    double lo = angle(c, v[0]) * toRad, hi = angle(c, v[1]) * toRad;
    if (ordered && lo >= hi)
        fail("Bad parameters in selection command", c.text);
    return {lo, hi};
}

int polCode(const Command& c, const std::string& s)
{
    std::string n = lower(s);
    for (const auto& p : PolNames)
        if (n == p.name)
            return p.code;
    fail("Bad polarization type", c.text);
}

class Writer {
public:
    Writer(float* sels, int maxsels) : sels_(sels), max_(maxsels) {}

    void add(int code, bool include, const std::vector<double>& vals, const std::string& text)
    {
        size_t need = 3 + vals.size();
        if (pos_ + need > static_cast<size_t>(max_))
            fail("Selection expression too complex", text);
        sels_[pos_++] = static_cast<float>(code);
        sels_[pos_++] = include ? 1.0f : 0.0f;
        sels_[pos_++] = static_cast<float>(vals.size());
        for (double v : vals)
            sels_[pos_++] = static_cast<float>(v);
        sels_[0] += 1.0f;
    }

private:
    float* sels_;
    int max_;
    size_t pos_ = 2;
};

void parse(const Command& c, Writer& w, float* sels)
{
    std::vector<double> vals;
    switch (c.code) {
    case Time: {
        const auto& v = values(c, 1, 2);
        double t[2] = {0.0, 0.0};
        bool abs[2] = {false, false};
        for (size_t i = 0; i < v.size(); ++i)
            if (!decodeTime(v[i], t[i], abs[i]))
                fail("Error decoding a value", c.text);
        if (v.size() == 1) {
            abs[1] = abs[0];
            t[1] = abs[0] ? t[0] + 1.0e6 : 1.0;
        }
        if (abs[0] != abs[1] || t[0] >= t[1])
            fail("Bad parameters in selection command", c.text);
        if (abs[0]) {
            if (sels[1] == 0.0f)
                sels[1] = static_cast<float>(std::floor(t[0] - 0.5) + 0.5);
            vals = {Absolute, t[0] - sels[1], t[1] - sels[1]};
        } else {
            vals = {TimeOfDay, t[0], t[1]};
        }
        break;
    }
    case Antennae: {
        if (c.lists.empty() || c.lists.size() > 2)
            fail("Bad parameters in selection command", c.text);
        vals.push_back(static_cast<double>(c.lists[0].size()));
        for (const auto& list : c.lists)
            for (const auto& s : list) {
                double a;
                if (!number(s, a) || a != std::floor(a) || a < 1 || a > MaxAntenna)
                    fail("Bad antenna number in selection", c.text);
                vals.push_back(a);
            }
        break;
    }
    case Uvrange:
        vals = range(c, true, 0.0, 1000.0, 0.0);
        break;
    case Uvnrange:
    case Pointing:
    case Seeing:
        vals = range(c, true, 0.0, 1.0, 0.0);
        break;
    case Amplitude:
        vals = range(c, false, 0.0, 1.0, 0.0);
        break;
    case Visibility:
    case Bin: {
        const auto& v = values(c, 1, 2);
        int lo = integer(c, v[0]);
        int hi = v.size() == 2 ? integer(c, v[1]) : lo;
        if (lo < (c.code == Visibility ? 1 : 0) || lo > hi)
            fail("Bad parameters in selection command", c.text);
        vals = {static_cast<double>(lo), static_cast<double>(hi)};
        break;
    }
    case Window:
        for (const auto& s : values(c, 1, MaxWindow)) {
            int win = integer(c, s);
            if (win < 1 || win > MaxWindow)
                fail("Bad parameters in selection command", c.text);
            vals.push_back(win);
        }
        break;
    case Or:
        values(c, 0, 0);
        if (!c.include)
            fail("Bad parameters in selection command", c.text);
        break;
    case Dra:
    case Ddec:
        values(c, 2, 2);
        vals = range(c, false, 0.0, ArcsecToRad);
        break;
    case Increment: {
        int n = integer(c, values(c, 1, 1)[0]);
        if (n < 1)
            fail("Bad parameters in selection command", c.text);
        vals = {static_cast<double>(n)};
        break;
    }
    case Polarization:
        for (const auto& s : values(c, 1, 12))
            vals.push_back(polCode(c, s));
        break;
    case On: {
        const auto& v = values(c, 0, 1);
        vals = {v.empty() ? 1.0 : static_cast<double>(integer(c, v[0]))};
        break;
    }
    case Shadow: {
        const auto& v = values(c, 0, 1);
        double d = v.empty() ? 0.0 : real(c, v[0]);
        if (d < 0)
            fail("Bad parameters in selection command", c.text);
        vals = {d};
        break;
    }
    case Auto:
        values(c, 0, 0);
        break;
    case Frequency:
        values(c, 2, 2);
        vals = range(c, false, 0.0, 1.0, DBL_MIN);
        break;
    case Source:
        // One entry per pattern, its characters as codes.
        for (const auto& s : values(c, 1, 64)) {
            if (s.empty())
                fail("Bad parameters in selection command", c.text);
            std::vector<double> chars(s.begin(), s.end());
            for (double& ch : chars)
                ch = static_cast<unsigned char>(ch);
            w.add(Source, c.include, chars, c.text);
        }
        return;
    case Ra:
        vals = angles(c, Pi / 12.0, true);
        break;
    case Dec:
        vals = angles(c, Pi / 180.0, true);
        break;
    case Ha:
        vals = angles(c, Pi / 12.0, true);
        break;
    case Lst:
        vals = angles(c, Pi / 12.0, false);
        break;
    case Elevation:
        values(c, 2, 2);
        vals = range(c, false, 0.0, 1.0);
        break;
    }
    w.add(c.code, c.include, vals, c.text);
}

struct Entry {
    int code;
    bool include;
    const float* vals;
    int n;
};

std::vector<Entry> entries(const float* sels)
{
    std::vector<Entry> out;
    long count = std::lround(sels[0]);
    const float* p = sels + 2;
    for (long i = 0; i < count; ++i) {
        Entry e{static_cast<int>(p[0]), p[1] != 0.0f, p + 3, static_cast<int>(p[2])};
        out.push_back(e);
        p += 3 + e.n;
    }
    return out;
}

std::string entryText(const Entry& e)
{
    std::string s;
    for (int i = 0; i < e.n; ++i)
        s.push_back(static_cast<char>(static_cast<int>(e.vals[i])));
    return s;
}

// Whether entry `e` matches the value `x` of its object.
bool matches(const Entry& e, double ref, double x)
{
    switch (e.code) {
    case Time: {
        double lo = e.vals[1], hi = e.vals[2];
        if (e.vals[0] == Absolute)
            return x >= ref + lo && x <= ref + hi;
        double frac = x - 0.5 - std::floor(x - 0.5);
        return (x >= lo && x <= hi) || (frac >= lo && frac <= hi);
    }
    case Window:
    case Polarization:
    case On:
        for (int i = 0; i < e.n; ++i)
            if (std::lround(x) == std::lround(e.vals[i]))
                return true;
        return false;
    case Lst:
        if (e.vals[1] <= e.vals[0])
            return x >= e.vals[0] || x <= e.vals[1];
        return x >= e.vals[0] && x <= e.vals[1];
    default:
        return x >= e.vals[0] && x <= e.vals[1];
    }
}

}  // namespace

extern "C" {

void selinput(const char* key, float* sels, int maxsels)
{
    if (maxsels < 2)
        bug_c('f', "Selection array too small, in SELINPUT");
    sels[0] = 0.0f;
    sels[1] = 0.0f;
    Writer w(sels, maxsels);
    std::vector<char> buf(FieldLen + 1);
    bool lastWasOr = true;
    std::string lastText;
    while (keyprsnt(key)) {
        if (keyget(key, ' ', buf.data(), static_cast<int>(buf.size())) == 0)
            continue;  // an empty quoted field
        std::string field = buf.data();
        Command c = split(field);
        if (c.code == Or && lastWasOr)
            fail("Misplaced \"or\" in selection", field);
        lastWasOr = c.code == Or;
        lastText = field;
        parse(c, w, sels);
    }
    if (lastWasOr && sels[0] > 0.0f)
        fail("Misplaced \"or\" in selection", lastText);
}

int selprobe(const float* sels, const char* object, double value)
{
    std::string name = lower(trim(object ? object : ""));
    bool any = !name.empty() && name.back() == '?';
    if (any)
        name.pop_back();
    int code = objectCode(name);
    if (code <= 0)
        fail("Unrecognised object in SELPROBE", object ? object : "");
    std::vector<Entry> list = entries(sels);
    if (any) {
        for (const Entry& e : list)
            if (e.code == code)
                return 1;
        return 0;
    }
    switch (code) {
    case Antennae:
    case Auto:
    case Shadow:
    case Source:
    case Increment:
    case Or:
        fail("Cannot probe this object with a value, in SELPROBE", name);
    default:
        break;
    }
    // Groups are joined by "or": the value is accepted when some group accepts it. Within a
    // group, entries of the object start from the opposite of the first one's sense and each
    // match sets its own sense; a group without such entries accepts everything.
    bool accepted = false;
    bool seen = false;
    bool verdict = true;
    auto close = [&]() {
        accepted = accepted || !seen || verdict;
        seen = false;
        verdict = true;
    };
    for (const Entry& e : list) {
        if (e.code == Or) {
            close();
            continue;
        }
        if (e.code != code)
            continue;
        if (!seen) {
            verdict = !e.include;
            seen = true;
        }
        if (matches(e, sels[1], value))
            verdict = e.include;
    }
    close();
    return accepted;
}

void selapply(int tno, const float* sels, int flag)
{
    if (std::lround(sels[0]) < 1)
        return;
    double ref = sels[1];
    for (const Entry& e : entries(sels)) {
        int sense = (e.include == (flag != 0)) ? 1 : 0;
        const char* name = Names[e.code - 1];
        const float* v = e.vals;
        switch (e.code) {
        case Or:
            uvselect_c(tno, "or", 0.0, 0.0, 1);
            break;
        case Time:
            if (v[0] == Absolute)
                uvselect_c(tno, name, ref + v[1], ref + v[2], sense);
            else
                uvselect_c(tno, name, v[1], v[2], sense);
            break;
        case Antennae: {
            int n1 = static_cast<int>(v[0]);
            if (n1 == e.n - 1)
                for (int i = 1; i <= n1; ++i)
                    uvselect_c(tno, name, v[i], 0.0, sense);
            else
                for (int i = 1; i <= n1; ++i)
                    for (int j = n1 + 1; j < e.n; ++j)
                        uvselect_c(tno, name, v[i], v[j], sense);
            break;
        }
        case Window:
        case Polarization:
            for (int i = 0; i < e.n; ++i)
                uvselect_c(tno, name, v[i], 0.0, sense);
            break;
        case Increment:
        case On:
            uvselect_c(tno, name, v[0], 0.0, sense);
            break;
        case Shadow:
            uvselect_c(tno, name, 0.0, v[0], sense);
            break;
        case Auto:
            uvselect_c(tno, name, 0.0, 0.0, sense);
            break;
        case Source:
            uvsela_c(tno, name, entryText(e).c_str(), sense);
            break;
        default:
            uvselect_c(tno, name, v[0], v[1], sense);
            break;
        }
    }
}

}  // extern "C"
