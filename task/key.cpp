// Keyword parameters: one process-wide table of up to 32 keywords whose values live end to end
// in one character buffer and are consumed a field at a time. "@file" values and wildcard
// expansions become further entries of the same name, read before the rest of the value.
#include "task/key.h"

#include "dataset/bug.h"
#include "dataset/dio.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int MaxKeys = 32;
constexpr int BufSize = 32768;
constexpr int MaxArg = 1024;
constexpr int MaxTaskName = 32;
constexpr int NameLen = 8;
constexpr int MaxAtFiles = 256;

struct Entry {
    std::string name;
    int first = 0;  // 0-based start of the unconsumed value in keybuf
    int last = -1;  // 0-based end; exhausted when first > last
    FILE* unit = nullptr;  // "@" file that supplies further lines
    bool pending = false;
    bool expanded = false;
};

struct Table {
    int nkeys = 0;
    Entry entries[MaxKeys];
    char keybuf[BufSize + 1];  // one more for the NUL that the wildcard expansion writes
};

Table table;
std::vector<std::string> argSource;
std::string taskName;

bool isBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}
bool isDelim(char c)
{
    return isBlank(c) || c == ',';
}

[[noreturn]] void fatal(const std::string& msg)
{
    bug_c('f', msg.c_str());
    std::abort();  // bug_c does not return for fatal errors
}

void warn(const std::string& msg)
{
    bug_c('w', msg.c_str());
}

// A caller's keyword name as the table holds it: up to the NUL, trailing blanks dropped,
// at most 8 characters.
std::string keyName(const char* key)
{
    std::string k = key ? key : "";
    while (!k.empty() && k.back() == ' ')
        k.pop_back();
    if (k.size() > NameLen)
        k.resize(NameLen);
    return k;
}

// Copies `s` into a caller's buffer of `len` bytes (NUL included), trailing blanks dropped.
// Returns the length stored.
int copyOut(const std::string& s, char* out, int len)
{
    if (!out || len <= 0)
        return 0;
    size_t n = std::min(s.size(), static_cast<size_t>(len - 1));
    while (n > 0 && s[n - 1] == ' ')
        --n;
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
    return static_cast<int>(n);
}

// Where a new value goes: directly after the value of the entry at the end of the table.
int nextFree()
{
    return table.nkeys ? table.entries[table.nkeys - 1].last + 1 : 0;
}

void deleteEntry(int i)
{
    for (int j = i; j < table.nkeys - 1; ++j)
        table.entries[j] = table.entries[j + 1];
    table.entries[--table.nkeys] = Entry{};
}

int findEntry(const std::string& name)
{
    for (int i = table.nkeys - 1; i >= 0; --i)
        if (table.entries[i].name == name)
            return i;
    return -1;
}

enum class LineStatus { Ok, End, TooLong };

// Reads the next line of a parameter or "@" file that is not empty once cleaned: a "#" outside
// quotes starts a comment, and trailing blanks and commas are dropped. Raw lines longer than
// `maxlen` are not read further.
LineStatus keylget(FILE* f, std::string& line, size_t maxlen)
{
    for (;;) {
        line.clear();
        int c;
        bool any = false;
        bool tooLong = false;
        while ((c = std::getc(f)) != EOF && c != '\n') {
            any = true;
            if (line.size() >= maxlen) {
                tooLong = true;
                break;
            }
            line.push_back(static_cast<char>(c));
        }
        if (c == EOF && std::ferror(f)) {
            int err = errno;
            warn("Error reading @ or .def file");
            bugno_c('f', err ? err : EIO);
        }
        if (tooLong)
            return LineStatus::TooLong;
        if (c == EOF && !any)
            return LineStatus::End;
        char quote = 0;
        size_t kept = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            char ch = line[i];
            if (quote) {
                if (ch == quote)
                    quote = 0;
                kept = i + 1;
            } else if (ch == '"' || ch == '\'') {
                quote = ch;
                kept = i + 1;
            } else if (ch == '#') {
                break;
            } else if (!isDelim(ch)) {
                kept = i + 1;
            }
        }
        if (quote)
            fatal("Unbalanced quotes on line");
        line.resize(kept);
        if (kept > 0)
            return LineStatus::Ok;
        if (c == EOF)
            return LineStatus::End;
    }
}

// Appends the next line of `unit` as a new entry of `name`; at the end of the file the file
// is closed and nothing is added.
void keyread(FILE* unit, const std::string& name)
{
    int start = nextFree();
    std::string line;
    LineStatus st = keylget(unit, line, BufSize);
    if (st == LineStatus::End) {
        std::fclose(unit);
        return;
    }
    if (st == LineStatus::TooLong || start + static_cast<int>(line.size()) > BufSize)
        fatal("KeyRead: Line too long");
    if (table.nkeys >= MaxKeys)
        fatal("KeyRead: Too many keys");
    std::memcpy(table.keybuf + start, line.data(), line.size());
    Entry& e = table.entries[table.nkeys++];
    e = Entry{name, start, start + static_cast<int>(line.size()) - 1, unit, true, true};
}

// Expands a file-name template into a new entry of `name`. False (with a warning) when the
// expansion gives nothing.
bool keyexp(const std::string& name, const std::string& tmpl)
{
    int start = nextFree();
    int n = dexpand_c(tmpl.c_str(), table.keybuf + start, BufSize + 1 - start);
    if (n <= 0) {
        warn("KeyExp: Error doing wildcard expansion of " + tmpl);
        return false;
    }
    if (table.nkeys >= MaxKeys)
        fatal("KeyExp: Too many keys");
    Entry& e = table.entries[table.nkeys++];
    e = Entry{name, start, start + n - 1, nullptr, false, true};
    return true;
}

// Takes the next field of entry `e`: delimiters are blanks and commas outside quotes and
// outside brackets; one pair of enclosing quotes is removed. The following delimiters are
// consumed too, so an entry is exhausted as soon as its last field is taken. `began` gets up to
// 80 characters of the value from where this fetch started, for the too-long warning.
std::string getfield(Entry& e, std::string& began)
{
    const char* buf = table.keybuf;
    began.assign(buf + e.first, buf + e.first + std::min(80, e.last - e.first + 1));
    int k = e.first;
    while (k <= e.last && isDelim(buf[k]))
        ++k;
    int start = k;
    int depth = 0;
    char quote = 0;
    for (; k <= e.last; ++k) {
        char c = buf[k];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (isDelim(c) && depth <= 0) {
            break;
        }
    }
    std::string field(buf + start, buf + k);
    while (k <= e.last && isDelim(buf[k]))
        ++k;
    e.first = k;
    if (field.size() >= 2 && (field[0] == '"' || field[0] == '\'') && field.back() == field[0])
        field = field.substr(1, field.size() - 2);
    return field;
}

// The next field of `key` (at most `cap` characters); empty when there is none.
std::string keyget(const std::string& key, char type, size_t cap)
{
    // An "@" file that names itself, directly or through others, would be opened for ever.
    int atFiles = 0;
    for (;;) {
        int i = findEntry(key);
        if (i < 0)
            return {};
        Entry& e = table.entries[i];
        std::string began;
        std::string field = getfield(e, began);
        bool expanded = e.expanded;
        if (e.first > e.last) {
            FILE* unit = e.pending ? e.unit : nullptr;
            deleteEntry(i);
            if (unit)
                keyread(unit, key);
        }
        if (field.size() > 1 && field[0] == '@') {
            std::string file = field.substr(1);
            if (++atFiles > MaxAtFiles)
                fatal("KeyGet: Too many @ files opened for one value, at @ file " + file);
            FILE* f = std::fopen(file.c_str(), "r");
            if (!f) {
                int err = errno;
                warn("KeyGet: Error opening @ file " + file);
                bugno_c('f', err);
            }
            keyread(f, key);
            continue;
        }
        if (type == '*' && !expanded && keyexp(key, field))
            continue;
        if (field.size() > cap) {
            warn("GETFIELD: string too long: " + began);
            field.resize(cap);
        }
        return field;
    }
}

// The next field of `key` in a caller's buffer; returns its length.
int fetch(const char* key, char type, char* value, int valuelen)
{
    size_t cap = valuelen > 0 ? static_cast<size_t>(valuelen - 1) : 0;
    return copyOut(keyget(keyName(key), type, cap), value, valuelen);
}

// Strict decimal number: sign, digits with an optional point, optional exponent (e or d).
bool decodeReal(std::string s, double& out)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < s.size() && std::strchr("eEdD", s[i])) {
        s[i] = 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        size_t edigits = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i, ++edigits;
        if (edigits == 0)
            return false;
    }
    if (i != s.size())
        return false;
    errno = 0;
    double v = std::strtod(s.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(v))
        return false;
    out = v;
    return true;
}

bool decodeInt(const std::string& s, int& out)
{
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    if (i == s.size())
        return false;
    for (size_t j = i; j < s.size(); ++j)
        if (!std::isdigit(static_cast<unsigned char>(s[j])))
            return false;
    errno = 0;
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

std::string stripped(const char* s)
{
    std::string t = s ? s : "";
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    return t;
}

template <typename T, typename Fetch>
void multi(const char* key, T* values, int nmax, int* n, Fetch one, const char* overflow)
{
    int count = 0;
    while (count < nmax && keyprsnt(key)) {
        one(key, values + count, T{});
        ++count;
    }
    *n = count;
    if (keyprsnt(key))
        fatal(overflow);
}

}  // namespace

extern "C" {

void keyargs(int argc, const char* const* argv)
{
    argSource.clear();
    for (int i = 0; i < argc && argv; ++i)
        argSource.emplace_back(argv[i] ? argv[i] : "");
}

void keyinic(void)
{
    for (int i = 0; i < table.nkeys; ++i)
        if (table.entries[i].pending && table.entries[i].unit)
            std::fclose(table.entries[i].unit);
    for (auto& e : table.entries)
        e = Entry{};
    table.nkeys = 0;
}

void keyini(void)
{
    keyinic();
    taskName = argSource.empty() ? "" : argSource[0].substr(0, MaxTaskName);
    for (size_t i = 1; i < argSource.size(); ++i) {
        const std::string& arg = argSource[i];
        if (arg == "-f") {
            if (i + 1 >= argSource.size())
                fatal("KeyIni: No parameter file given for -f option");
            const std::string& file = argSource[++i];
            FILE* f = std::fopen(file.c_str(), "r");
            if (!f)
                fatal("KeyIni: Failed to open parameter file " + file);
            std::string line;
            LineStatus st;
            while ((st = keylget(f, line, MaxArg - 1)) == LineStatus::Ok)
                keyput(static_cast<int>(line.size()), line.c_str());
            std::fclose(f);
            if (st == LineStatus::TooLong)
                fatal("KeyIni: Input parameter too long for buffer");
        } else if (arg == "-?") {
            // Help is a short line of our own; no external help program is run.
            std::printf("%s: parameters are given as key=value; -f file reads them from a file\n",
                        taskName.empty() ? "task" : taskName.c_str());
            std::fflush(stdout);
            std::exit(0);
        } else if (!arg.empty() && arg[0] == '-') {
            warn("Flag " + arg + " not understood");
        } else if (arg.size() >= MaxArg) {
            std::printf("Read: %s\n", arg.substr(0, MaxArg).c_str());
            std::fflush(stdout);
            fatal("KeyIni: Input parameter too long for buffer");
        } else {
            keyput(static_cast<int>(arg.size()), arg.c_str());
        }
    }
}

void keyput(int n, const char* text)
{
    if (!text || n <= 0)
        n = 0;
    else
        n = static_cast<int>(strnlen(text, static_cast<size_t>(n)));
    int i = 0;
    while (i < n && isBlank(text[i]))
        ++i;
    int nameStart = i;
    while (i < n && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '$'))
        ++i;
    int nameLen = i - nameStart;
    if (nameLen == 0 || nameLen > NameLen) {
        warn("Keyword name has zero length or too long");
        return;
    }
    std::string name(text + nameStart, nameLen);
    if (findEntry(name) >= 0) {
        warn("Multiple occurences of keyword '" + name + "' ignored");
        return;
    }
    while (i < n && isBlank(text[i]))
        ++i;
    while (i < n && text[i] == '=')
        ++i;
    while (i < n && isBlank(text[i]))
        ++i;
    // A value of nothing but delimiters holds no field.
    bool empty = std::all_of(text + i, text + n, isDelim);
    if (empty) {
        std::string padded = name;
        padded.resize(NameLen, ' ');
        warn("Zero length value for keyword " + padded);
        return;
    }
    int start = nextFree();
    int len = n - i;
    if (table.nkeys >= MaxKeys || start + len > BufSize)
        fatal("KeyIni: Parameter buffer overflow");
    std::memcpy(table.keybuf + start, text + i, static_cast<size_t>(len));
    table.entries[table.nkeys++] = Entry{name, start, start + len - 1, nullptr, false, false};
}

void keyputc(const char* text)
{
    std::string t = stripped(text);
    keyput(static_cast<int>(t.size()), t.c_str());
}

int keyprsnt(const char* key)
{
    return findEntry(keyName(key)) >= 0;
}

int keyget(const char* key, char type, char* value, int valuelen)
{
    return fetch(key, type, value, valuelen);
}

void keya(const char* key, char* value, int valuelen, const char* def)
{
    if (fetch(key, ' ', value, valuelen) == 0)
        copyOut(def ? def : "", value, valuelen);
}

void keyf(const char* key, char* value, int valuelen, const char* def)
{
    if (fetch(key, '*', value, valuelen) == 0)
        copyOut(def ? def : "", value, valuelen);
    if (value && valuelen > 0 && value[0] != '\0') {
        struct stat st;
        if (stat(value, &st) != 0)
            fatal(("File does not exist: " + std::string(value)).substr(0, 80));
    }
}

void keyd(const char* key, double* value, double def)
{
    char buf[49];
    if (fetch(key, ' ', buf, sizeof buf) == 0) {
        *value = def;
        return;
    }
    if (!decodeReal(buf, *value))
        fatal("KeyD: Conversion error decoding parameter " + keyName(key));
}

void keyr(const char* key, float* value, float def)
{
    double d;
    keyd(key, &d, static_cast<double>(def));
    if (std::fabs(d) > FLT_MAX)
        fatal("KeyD: Conversion error decoding parameter " + keyName(key));
    *value = static_cast<float>(d);
}

void keyi(const char* key, int* value, int def)
{
    char buf[49];
    if (fetch(key, ' ', buf, sizeof buf) == 0) {
        *value = def;
        return;
    }
    if (decodeInt(buf, *value))
        return;
    double d;
    if (decodeReal(buf, d)) {
        double r = d >= 0 ? std::trunc(d + 0.5) : std::trunc(d - 0.5);
        if (r >= INT_MIN && r <= INT_MAX) {
            *value = static_cast<int>(r);
            return;
        }
    }
    fatal("KeyI: Conversion error decoding parameter " + keyName(key));
}

void keyl(const char* key, int* value, int def)
{
    char buf[8];
    keya(key, buf, sizeof buf, def ? "y" : "n");
    for (char* p = buf; *p; ++p)
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    if (buf[0] == 'T' || buf[0] == 'Y' || buf[0] == '1' || (buf[0] == '.' && buf[1] == 'T'))
        *value = 1;
    else if (buf[0] == 'F' || buf[0] == 'N' || buf[0] == '0' || (buf[0] == '.' && buf[1] == 'F'))
        *value = 0;
    else
        warn("KeyL: invalid value for a logical");
}

void mkeya(const char* key, char* values, int valuelen, int nmax, int* n)
{
    int count = 0;
    while (count < nmax && keyprsnt(key)) {
        keya(key, values + static_cast<size_t>(count) * valuelen, valuelen, "");
        ++count;
    }
    *n = count;
    if (keyprsnt(key))
        fatal("MKeyA: Buffer overflow");
}

void mkeyf(const char* key, char* values, int valuelen, int nmax, int* n)
{
    int count = 0;
    while (count < nmax) {
        char* slot = values + static_cast<size_t>(count) * valuelen;
        keyf(key, slot, valuelen, "");
        if (slot[0] == '\0')
            break;
        ++count;
    }
    *n = count;
    if (keyprsnt(key))
        fatal("MKeyF: Buffer overflow");
}

void mkeyi(const char* key, int* values, int nmax, int* n)
{
    multi(key, values, nmax, n, keyi, "MKeyI: Buffer overflow");
}

void mkeyr(const char* key, float* values, int nmax, int* n)
{
    multi(key, values, nmax, n, keyr, "MKeyR: Buffer overflow");
}

void mkeyd(const char* key, double* values, int nmax, int* n)
{
    multi(key, values, nmax, n, keyd, "MKeyD: Buffer overflow");
}

void keymatch(const char* key, int ntypes, const char* const* types, int maxout, char* out, int outlen, int* nout)
{
    std::string name = keyName(key);
    *nout = 0;
    while (*nout < maxout && keyprsnt(name.c_str())) {
        std::string field = keyget(name, ' ', 16);
        if (field.empty())
            continue;
        for (char& c : field)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        int match = -1;
        int matches = 0;
        for (int t = 0; t < ntypes; ++t) {
            std::string word = stripped(types[t]);
            if (word == field) {
                match = t;
                matches = 1;
                break;
            }
            if (word.compare(0, field.size(), field) == 0) {
                match = t;
                ++matches;
            }
        }
        if (matches != 1) {
            std::string list;
            for (int t = 0; t < ntypes; ++t)
                list += (t ? ", " : "") + stripped(types[t]);
            bug_c('i', ("Possible values for keyword " + name + " are: " + list).c_str());
            fatal(std::string(matches ? "Ambiguous" : "Unrecognised") + " value \"" + field + "\" for keyword " + name);
        }
        copyOut(stripped(types[match]), out + static_cast<size_t>(*nout) * outlen, outlen);
        ++*nout;
    }
}

void keyfin(void)
{
    for (int i = 0; i < table.nkeys; ++i)
        warn("KeyFin: Parameter " + table.entries[i].name + " not used or not exhausted");
}

}  // extern "C"
