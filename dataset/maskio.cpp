// Flag masks: one good/bad bit per data value, packed 31 to a big-endian word after the
// integer type tag, moved through a window of 128 words.
#include "dataset/maskio.h"

#include "dataset/bug.h"
#include "dataset/hio.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int BITS = 31;  // flags per word; bit 31 carries none
constexpr int WORDS = 128;  // words in the window
constexpr int WINDOW = WORDS * BITS;  // positions in the window
constexpr int ALLBITS = 0x7fffffff;  // the 31 flag bits of a word
constexpr int INT_TAG = 2;  // the integer type tag, the item's first word

/* The mask window. Flags are numbered by position p = flag + 31, so the tag word is word 0
   and position p is bit p % 31 of word p / 31 (byte offset 4 * (p / 31) in the item).

     positions   0 ...... offset ====== offset+length ...... offset+3968     size
     buf                  [word 0 ...........  word 127]

   Invariants (checkMask):
   - offset is a multiple of 31; 0 <= length <= 3968; size is a multiple of 31.
   - Without `modified`, the valid part lies inside the item: offset + length <= size.
   - Bits of the window at and beyond `length` are 0 (bad), and bit 31 of every word is 0.
   - `modified`: the window holds bits not yet in the item; mkflush writes them back. */
struct Mask {
    int item = -1;
    int tno = 0;
    std::string name;
    int buf[WORDS] = {};
    off_t offset = -WINDOW;
    int length = 0;
    off_t size = 0;
    bool modified = false;
    bool readOnly = false;
};

std::vector<std::unique_ptr<Mask>> masks;  // handle h is masks[h - 1]

// 2^i - 1: the bits below bit i.
constexpr int lowBits(int i)
{
    return i >= BITS ? ALLBITS : (1 << i) - 1;
}

void checkMask([[maybe_unused]] const Mask* m)
{
    assert(m->offset % BITS == 0);
    assert(m->length >= 0 && m->length <= WINDOW);
    assert(m->size % BITS == 0);
    assert(m->modified || m->offset + m->length <= m->size || m->length == 0);
}

Mask* maskOf(int handle, const char* caller)
{
    if (handle < 1 || handle > static_cast<int>(masks.size()) || !masks[static_cast<size_t>(handle) - 1]) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "Invalid mask handle %d, in %s", handle, caller);
        bug_c('f', msg);
    }
    return masks[static_cast<size_t>(handle) - 1].get();
}

void fatalName(const char* format, const std::string& name)
{
    char msg[256];
    std::snprintf(msg, sizeof msg, format, name.c_str());
    bug_c('f', msg);
}

void check(int iostat)
{
    if (iostat)
        bugno_c('f', iostat);
}

// Reads `count` words of the item starting at word `word` into buf[at...], flag bits only.
void readWords(Mask* m, int at, off_t word, int count)
{
    int st;
    hreadi_c(m->item, m->buf + at, 4 * word, 4 * static_cast<off_t>(count), &st);
    check(st);
    for (int i = at; i < at + count; ++i)
        m->buf[i] &= ALLBITS;
}

// Writes the window back. A window reaching the item's end extends the item to whole
// words; a window ending inside a word takes that word's remaining bits from the item.
void flush(Mask* m)
{
    if (!m->modified)
        return;
    const int partial = m->length % BITS;
    if (m->offset + m->length >= m->size) {
        m->length += partial ? BITS - partial : 0;
        m->size = m->offset + m->length;
    } else if (partial) {
        const int w = m->length / BITS;
        int disk;
        int st;
        hreadi_c(m->item, &disk, 4 * (m->offset / BITS + w), 4, &st);
        check(st);
        m->buf[w] = (m->buf[w] & lowBits(partial)) | (disk & ALLBITS & ~lowBits(partial));
        m->length += BITS - partial;
    }
    int st;
    hwritei_c(m->item, m->buf, 4 * (m->offset / BITS), 4 * static_cast<off_t>(m->length / BITS), &st);
    check(st);
    m->modified = false;
    checkMask(m);
}

// Makes position p readable from the window.
void loadForRead(Mask* m, off_t p)
{
    if (p >= m->offset && p < m->offset + m->length)
        return;
    flush(m);
    m->offset = p - p % BITS;
    std::memset(m->buf, 0, sizeof m->buf);
    const off_t left = m->size - m->offset;
    m->length = 0;
    if (left <= 0)
        bug_c('f', "Read past end of mask file");
    m->length = static_cast<int>(std::min<off_t>(left, WINDOW));
    readWords(m, 0, m->offset / BITS, m->length / BITS);
    checkMask(m);
}

// Makes position p writable in the window, with every position below it that the item
// holds already valid.
void loadForWrite(Mask* m, off_t p)
{
    if (p < m->offset || p >= m->offset + WINDOW) {
        flush(m);
        m->offset = p - p % BITS;
        m->length = 0;
        std::memset(m->buf, 0, sizeof m->buf);
    }
    const off_t rel = p - m->offset;
    if (m->length < rel && m->offset + m->length < m->size) {
        const int first = m->length / BITS;  // a partly valid word keeps its valid low bits
        const int last = static_cast<int>(std::min<off_t>(rel / BITS, (m->size - m->offset) / BITS - 1));
        const int keep = m->length % BITS;
        const int kept = m->buf[first] & lowBits(keep);
        readWords(m, first, m->offset / BITS + first, last - first + 1);
        m->buf[first] = (m->buf[first] & ~lowBits(keep)) | kept;
        m->length = (last + 1) * BITS;
    }
}

// Sets (good) or clears `count` flags from position p.
void setRange(Mask* m, off_t p, off_t count, bool good)
{
    while (count > 0) {
        loadForWrite(m, p);
        const int rel = static_cast<int>(p - m->offset);
        const int n = static_cast<int>(std::min<off_t>(count, WINDOW - rel));
        int w = rel / BITS, b = rel % BITS;
        for (int left = n; left > 0; ++w, b = 0) {
            const int nb = std::min(BITS - b, left);
            const int bits = lowBits(nb) << b;
            m->buf[w] = good ? (m->buf[w] | bits) : (m->buf[w] & ~bits);
            left -= nb;
        }
        m->length = std::max(m->length, rel + n);
        m->modified = true;
        p += n;
        count -= n;
    }
}

// Collects the output of mkread_c with the capacity check.
struct Output {
    int* out;
    int capacity;
    int count = 0;
    void put(int v)
    {
        if (count >= capacity)
            bug_c('f', "Buffer overflow in MKREAD");
        out[count++] = v;
    }
};

}  // namespace

extern "C" {

int mkopen_c(int tno, const char* name, const char* status)
{
    auto m = std::make_unique<Mask>();
    m->tno = tno;
    m->name = name;
    int st;
    if (std::strcmp(status, "old") == 0) {
        haccess_c(tno, &m->item, name, "read", &st);
        if (st)
            return 0;
        const off_t bytes = hsize_c(m->item);
        if (bytes < 5)
            fatalName("Mask file %s appears bad", m->name);
        int tag;
        hreadi_c(m->item, &tag, 0, 4, &st);
        check(st);
        if (tag != INT_TAG)
            fatalName("Mask file %s is not integer valued", m->name);
        m->size = bytes / 4 * BITS;
        m->readOnly = true;
    } else if (std::strcmp(status, "new") == 0) {
        haccess_c(tno, &m->item, name, "write", &st);
        check(st);
        const int tag = INT_TAG;
        hwritei_c(m->item, &tag, 0, 4, &st);
        check(st);
        m->size = BITS;
    } else {
        char msg[128];
        std::snprintf(msg, sizeof msg, "Unrecognised status %s in MKOPEN", status);
        bug_c('f', msg);
    }
    for (size_t i = 0; i < masks.size(); ++i) {
        if (!masks[i]) {
            masks[i] = std::move(m);
            return static_cast<int>(i) + 1;
        }
    }
    masks.push_back(std::move(m));
    return static_cast<int>(masks.size());
}

int mkread_c(int handle, int mode, int* flags, off_t offset, int n, int nsize)
{
    Mask* m = maskOf(handle, "MKREAD");
    if (offset < 0)
        bug_c('f', "Negative flag offset, in MKREAD");
    Output out{flags, nsize};
    if (mode == MK_FLAGS && n > nsize)
        bug_c('f', "Buffer overflow in MKREAD");
    bool good = false;  // run state of mode 2
    off_t p = offset + BITS;
    int k = 0;  // flags done
    while (k < n) {
        loadForRead(m, p);
        const int rel = static_cast<int>(p - m->offset);
        const int avail = std::min(n - k, m->length - rel);
        int w = rel / BITS, b = rel % BITS;
        for (int left = avail; left > 0; ++w, b = 0) {
            const int nb = std::min(BITS - b, left);
            const int bits = (m->buf[w] >> b) & lowBits(nb);
            if (bits == lowBits(nb) || bits == 0) {
                // A whole run of good or bad flags: no single bits to look at.
                const bool g = bits != 0;
                if (mode == MK_FLAGS) {
                    std::fill_n(flags + out.count, nb, g ? 1 : 0);
                    out.count += nb;
                } else if (g != good) {
                    out.put(g ? k + 1 : k);
                    good = g;
                }
            } else {
                for (int i = 0; i < nb; ++i) {
                    const bool g = (bits >> i) & 1;
                    if (mode == MK_FLAGS)
                        out.put(g ? 1 : 0);
                    else if (g != good) {
                        out.put(g ? k + i + 1 : k + i);
                        good = g;
                    }
                }
            }
            k += nb;
            left -= nb;
        }
        p += avail;
    }
    if (mode != MK_FLAGS && good)
        out.put(n);
    return out.count;
}

void mkwrite_c(int handle, int mode, const int* flags, off_t offset, int n, int nsize)
{
    Mask* m = maskOf(handle, "MKWRITE");
    if (offset < 0)  // would overwrite the type tag
        bug_c('f', "Negative flag offset, in MKWRITE");
    if (m->readOnly) {
        int st;
        hdaccess_c(m->item, &st);
        haccess_c(m->tno, &m->item, m->name.c_str(), "append", &st);
        if (st) {
            bug_c('w', "Error opening mask/flagging file in read/write mode\n");
            bugno_c('f', st);
        }
        m->readOnly = false;
    }
    const off_t p = offset + BITS;
    if (mode == MK_FLAGS) {
        if (n > nsize)
            bug_c('f', "Buffer overflow in MKWRITE");
        // Runs of equal flags are set or cleared together.
        for (int k = 0; k < n;) {
            int e = k + 1;
            while (e < n && (flags[e] != 0) == (flags[k] != 0))
                ++e;
            setRange(m, p + k, e - k, flags[k] != 0);
            k = e;
        }
    } else {
        int next = 1;  // the first 1-based position not yet written
        for (int i = 0; i + 1 < nsize; i += 2) {
            const int start = flags[i], end = flags[i + 1];
            if (start < next || end < start || end > n)
                bug_c('f', "Bad list of runs in MKWRITE");
            setRange(m, p + next - 1, start - next, false);
            setRange(m, p + start - 1, end - start + 1, true);
            next = end + 1;
        }
        setRange(m, p + next - 1, n + 1 - next, false);
    }
}

void mkflush_c(int handle)
{
    flush(maskOf(handle, "MKFLUSH"));
}

void mkclose_c(int handle)
{
    Mask* m = maskOf(handle, "MKCLOSE");
    flush(m);
    int st;
    hdaccess_c(m->item, &st);
    check(st);
    masks[static_cast<size_t>(handle) - 1].reset();
}

}  // extern "C"
