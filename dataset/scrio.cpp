// Scratch files: numbered temporary items under the tree of plain files, in $TMPDIR and
// unlinked as soon as they are open, moved in records of a fixed number of 4-byte words.
#include "dataset/bug.h"
#include "dataset/hio.h"

#include <cstdio>

namespace {

constexpr int MAXSCRATCH = 100;

struct Scratch {
    bool open = false;
    int item = -1;
    int recordBytes = 4;  // record size: one 4-byte word unless scrrecsz_c says otherwise
};

Scratch scratch[MAXSCRATCH];

Scratch& scratchOf(int handle, const char* caller)
{
    if (handle < 1 || handle > MAXSCRATCH || !scratch[handle - 1].open) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "Invalid scratch handle %d, in %s", handle, caller);
        bug_c('f', msg);
    }
    return scratch[handle - 1];
}

// A failed scratch operation: its warning, then the system's text as a fatal error.
void fail(const char* warning, int iostat)
{
    bug_c('w', warning);
    bugno_c('f', iostat);
}

}  // namespace

extern "C" {

void scropen_c(int* handle)
{
    int i = 0;
    while (i < MAXSCRATCH && scratch[i].open)
        ++i;
    if (i == MAXSCRATCH)
        bug_c('f', "Exhausted the number of open scratch files");
    char name[32];
    std::snprintf(name, sizeof name, "scratch%d", i);
    int st;
    haccess_c(0, &scratch[i].item, name, "scratch", &st);
    if (st)
        fail("Error opening scratch file; check your $TMPDIR", st);
    scratch[i].open = true;
    scratch[i].recordBytes = 4;
    *handle = i + 1;
}

void scrclose_c(int handle)
{
    Scratch& s = scratchOf(handle, "SCRCLOSE");
    s.open = false;
    int st;
    hdaccess_c(s.item, &st);
    if (st)
        fail("Error closing scratch file", st);
}

void scrrecsz_c(int handle, int recsize)
{
    Scratch& s = scratchOf(handle, "SCRRECSZ");
    if (recsize <= 0)
        bug_c('f', "Invalid record size, in scrrecsz");
    s.recordBytes = 4 * recsize;
}

void scrread_c(int handle, void* buffer, off_t offset, off_t length)
{
    const Scratch& s = scratchOf(handle, "SCRREAD");
    int st;
    hreadb_c(s.item, static_cast<char*>(buffer), offset * s.recordBytes, length * s.recordBytes, &st);
    if (st)
        fail("Error reading from scratch file", st);
}

void scrwrite_c(int handle, const void* buffer, off_t offset, off_t length)
{
    const Scratch& s = scratchOf(handle, "SCRWRITE");
    int st;
    hwriteb_c(s.item, static_cast<const char*>(buffer), offset * s.recordBytes, length * s.recordBytes, &st);
    if (st)
        fail("Error writing to scratch file; check your $TMPDIR", st);
}

}  // extern "C"
