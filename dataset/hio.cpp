// The data-set container: trees (data-set directories) and items in fixed process-wide
// tables, the "header" item that keeps the small items, and typed transfers between memory
// and the big-endian on-disk form through a window buffer per item. All file access goes
// through the dio layer.
#include "dataset/hio.h"

#include "dataset/bug.h"
#include "dataset/dio.h"
#include "dataset/pack.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int MAXTREES = 26;  // tree handles 0..25; 0 is the tree of plain files
constexpr int MAXITEMS = 1024;  // item handles 0..1023, shared by all trees
constexpr int BUFSIZE = 16384;  // window of an item that has a file
constexpr int CACHESIZE = 64;  // the largest item the "header" item keeps

// Item flags: the access mode, then where the item lives.
constexpr int ITEM_READ = 1;
constexpr int ITEM_WRITE = 2;
constexpr int ITEM_SCRATCH = 4;
constexpr int ITEM_APPEND = 8;
constexpr int ACCESS_MODES = ITEM_READ | ITEM_WRITE | ITEM_SCRATCH | ITEM_APPEND;
constexpr int ITEM_CACHE = 16;  // the item's bytes are (also) in the "header" item on disk
constexpr int ITEM_NOCACHE = 32;  // the item must have a file of its own

// Tree flags.
constexpr int TREE_CACHEMOD = 1;  // the "header" item on disk no longer matches the cache
constexpr int TREE_NEW = 2;  // the directory was created by this run

// What a tree allows, found out on the first write.
constexpr int RDWR_UNKNOWN = 0;
constexpr int RDWR_RDONLY = 1;
constexpr int RDWR_RDWR = 2;

enum WindowState { IO_EMPTY = 0, IO_VALID = 1, IO_MODIFIED = 2 };

/* An item and its window.

     item bytes  0 ........ ioStart ======== ioStart+ioLength ......... size
     buf                    [0 ........ ioLength) held,  capacity buf.size()

   Invariants, checked by checkItem():
   - 0 <= ioLength <= buf.size(); ioStart is even; IO_EMPTY holds no bytes.
   - ioStart + ioLength <= size: the window never holds bytes beyond the item's end.
   - An item without a file (a small item held in memory, or the listing ".") holds all of
     itself in the window: ioStart == 0 and ioLength == size. A small item's buffer holds at
     most 64 bytes; writing its 65th byte moves it to a file of its own first.
   - ITEM_CACHE items have no file. IO_MODIFIED: the window holds bytes that are not yet in
     the file (for an item without a file: not yet in the "header" item on disk).
   - A record without access-mode bits exists only as a small item of its tree's cache. */
struct Item {
    std::string name;  // under tree 0 the full path
    int handle = 0;
    int flags = 0;
    int fd = -1;  // -1: no file open
    off_t size = 0;
    off_t offset = 0;  // current offset of the line-at-a-time text operations
    int tree = 0;
    off_t ioStart = 0;
    int ioLength = 0;
    WindowState ioState = IO_EMPTY;
    std::vector<char> buf;  // the window's storage; its size is the capacity
    Item* next = nullptr;  // the tree's item list, newest first
};

struct Tree {
    std::string path;  // directory with a trailing "/"; "" for tree 0
    int handle = 0;
    int flags = 0;
    int rdwr = RDWR_UNKNOWN;
    int wrstat = 0;  // the error a write probe gave, 0 when writable
    Item* items = nullptr;
};

Tree* trees[MAXTREES];
Item* items[MAXITEMS];
int ntrees = 0;
int nitems = 0;
bool initialised = false;

int capacity(const Item* it)
{
    return static_cast<int>(it->buf.size());
}

void checkItem([[maybe_unused]] const Item* it)
{
    assert(it->ioLength >= 0 && it->ioLength <= capacity(it));
    assert(it->ioStart % 2 == 0);
    assert(it->ioState != IO_EMPTY || it->ioLength == 0);
    assert(it->ioStart + it->ioLength <= it->size);
    assert(it->fd >= 0 || (it->ioStart == 0 && it->ioLength == it->size));
    assert(it->fd >= 0 || (it->flags & ITEM_NOCACHE) || capacity(it) <= CACHESIZE);
    assert(!(it->flags & ITEM_CACHE) || it->fd < 0);
}

void initialise()
{
    if (initialised)
        return;
    initialised = true;
    bugcleanup_c(habort_c);  // a fatal error closes every data set in an emergency
    std::fill(std::begin(trees), std::end(trees), nullptr);
    std::fill(std::begin(items), std::end(items), nullptr);
    trees[0] = new Tree;  // the tree of plain files: empty path, never cached
    ntrees = 1;
    nitems = 0;
}

// First free slot for `name`: start from the number of records open, add the name's bytes
// as signed values, take the non-negative remainder, and probe forward.
template <typename T, int N>
int freeSlot(T* (&table)[N], int count, const char* name)
{
    long h = count;
    for (const char* s = name; *s; ++s)
        h += static_cast<signed char>(*s);
    h %= N;
    if (h < 0)
        h += N;
    for (int i = 0; i < N; ++i) {
        const int k = static_cast<int>((h + i) % N);
        if (!table[k])
            return k;
    }
    return -1;
}

Tree* newTree(const char* path)
{
    if (ntrees >= MAXTREES)
        bug_c('f', "Tree address table overflow, in hio");
    const int k = freeSlot(trees, ntrees, path);
    assert(k > 0);
    trees[k] = new Tree;
    trees[k]->path = path;
    trees[k]->handle = k;
    ++ntrees;
    return trees[k];
}

Item* newItem(Tree* t, const char* name)
{
    if (nitems >= MAXITEMS)
        bug_c('f', "Item address table overflow, in hio");
    const int k = freeSlot(items, nitems, name);
    assert(k >= 0);
    Item* it = new Item;
    it->name = name;
    it->handle = k;
    it->tree = t->handle;
    it->next = t->items;
    t->items = it;
    items[k] = it;
    ++nitems;
    return it;
}

// Drops an item record (its file, if any, must already be closed).
void releaseItem(Item* it)
{
    assert(it->fd < 0);
    Tree* t = trees[it->tree];
    for (Item** p = &t->items; *p; p = &(*p)->next) {
        if (*p == it) {
            *p = it->next;
            break;
        }
    }
    items[it->handle] = nullptr;
    --nitems;
    delete it;
}

// Drops a tree with all its item records, closing files still open without writing.
void releaseTree(Tree* t)
{
    while (t->items) {
        Item* it = t->items;
        if (it->fd >= 0) {
            int st;
            dclose_c(it->fd, &st);
            it->fd = -1;
        }
        releaseItem(it);
    }
    trees[t->handle] = nullptr;
    --ntrees;
    delete t;
}

Tree* treeOf(int tno, const char* caller)
{
    initialise();
    if (tno < 0 || tno >= MAXTREES || !trees[tno]) {
        char msg[128];
        std::snprintf(msg, sizeof msg, "Invalid data set handle %d, in %s", tno, caller);
        bug_c('f', msg);
    }
    return trees[tno];
}

// An item that is currently accessed.
Item* accessedItem(int itno, const char* caller)
{
    initialise();
    if (itno < 0 || itno >= MAXITEMS || !items[itno] || !(items[itno]->flags & ACCESS_MODES)) {
        char msg[128];
        std::snprintf(msg, sizeof msg, "Invalid item handle %d, in %s", itno, caller);
        bug_c('f', msg);
    }
    return items[itno];
}

Item* findItem(Tree* t, const char* name)
{
    for (Item* it = t->items; it; it = it->next)
        if (it->name == name)
            return it;
    return nullptr;
}

// Item names: 1 to 8 characters, a lower-case letter then letters, digits, "-" or "_";
// or "." (the listing). "header" only when the layer itself opens it.
bool nameOk(const char* name, bool allowHeader)
{
    const size_t n = std::strlen(name);
    if (std::strcmp(name, ".") == 0)
        return true;
    if (n < 1 || n > 8 || name[0] < 'a' || name[0] > 'z')
        return false;
    for (size_t i = 1; i < n; ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    return allowHeader || std::strcmp(name, "header") != 0;
}

int modeOf(const char* status)
{
    if (std::strcmp(status, "read") == 0)
        return ITEM_READ;
    if (std::strcmp(status, "write") == 0)
        return ITEM_WRITE;
    if (std::strcmp(status, "scratch") == 0)
        return ITEM_SCRATCH;
    if (std::strcmp(status, "append") == 0)
        return ITEM_APPEND;
    bug_c('f', "haccess_c: Unrecognised STATUS");
    return 0;
}

// Opens the item's file with `status`; an open for anything but reading also settles what
// the tree allows.
void openFile(Tree* t, Item* it, const char* status, int* iostat)
{
    int fd;
    off_t size;
    dopen_c(&fd, (t->path + it->name).c_str(), status, &size, iostat);
    if (std::strcmp(status, "read") != 0) {
        t->rdwr = *iostat ? RDWR_RDONLY : RDWR_RDWR;
        t->wrstat = *iostat;
    }
    if (*iostat)
        return;
    it->fd = fd;
    it->size = size;
    it->buf.resize(BUFSIZE);
}

void accessItem(int tno, int* itno, const char* keyword, const char* status, int* iostat, bool internal);

// Finds out whether the tree can be written, by opening "header" for append.
void probeWriteAccess(Tree* t)
{
    int ih, st;
    accessItem(t->handle, &ih, "header", "append", &st, true);
    if (st == 0)
        hdaccess_c(ih, &st);
}

// The listing: the small items first, then the directory's entries other than "header".
void buildListing(Tree* t, Item* it, int* iostat)
{
    std::string text;
    for (const Item* i = t->items; i; i = i->next)
        if (i->fd < 0 && !(i->flags & ITEM_NOCACHE))
            text += i->name + "\n";
    void* dir;
    errno = 0;
    dopendir_c(&dir, t->path.c_str());
    if (!dir) {
        *iostat = errno ? errno : EIO;
        return;
    }
    char entry[1024];
    for (dreaddir_c(dir, entry, sizeof entry); entry[0]; dreaddir_c(dir, entry, sizeof entry))
        if (std::strcmp(entry, "header") != 0)
            text += std::string(entry) + "\n";
    dclosedir_c(dir);
    it->buf.assign(text.begin(), text.end());
    it->size = static_cast<off_t>(text.size());
    it->ioStart = 0;
    it->ioLength = static_cast<int>(text.size());
    it->ioState = text.empty() ? IO_EMPTY : IO_VALID;
}

void accessItem(int tno, int* itno, const char* keyword, const char* status, int* iostat, bool internal)
{
    const int mode = modeOf(status);
    Tree* t = treeOf(tno, "HACCESS");
    *iostat = 0;
    *itno = -1;
    const bool listing = tno != 0 && std::strcmp(keyword, ".") == 0;
    const bool nocache = tno == 0 || mode == ITEM_SCRATCH || std::strcmp(keyword, "header") == 0 ||
        std::strcmp(keyword, ".") == 0 || std::strcmp(keyword, "history") == 0;
    if (tno != 0 && !nameOk(keyword, internal)) {
        *iostat = -1;
        return;
    }
    if (listing && mode != ITEM_READ) {
        *iostat = EACCES;
        return;
    }
    if (mode != ITEM_READ && !nocache) {
        if (t->rdwr == RDWR_UNKNOWN)
            probeWriteAccess(t);
        if (t->wrstat) {
            *iostat = t->wrstat;
            return;
        }
    }

    Item* it = findItem(t, keyword);
    const bool found = it != nullptr;
    if (found) {
        if (it->flags & ACCESS_MODES)
            bug_c('f', "haccess_c: Multiple access to item");
        if ((mode & (ITEM_WRITE | ITEM_SCRATCH)) && it->size != 0) {
            it->size = 0;
            it->ioStart = 0;
            it->ioLength = 0;
            it->ioState = IO_EMPTY;
            if (it->flags & ITEM_CACHE)
                t->flags |= TREE_CACHEMOD;
        }
    } else {
        it = newItem(t, keyword);
        if (nocache)
            it->flags |= ITEM_NOCACHE;
    }
    it->flags |= mode;
    it->offset = 0;

    if (listing) {
        buildListing(t, it, iostat);
    } else if (!found && (mode != ITEM_WRITE || nocache)) {
        openFile(t, it, status, iostat);
    } else if (!found) {
        // A new small item lives in memory until it outgrows 64 bytes. A file left by an
        // earlier, larger value of the same name would otherwise stand beside it.
        int st;
        ddelete_c((t->path + it->name).c_str(), &st);
    }
    if (*iostat) {
        if (found)
            it->flags &= ~ACCESS_MODES;
        else
            releaseItem(it);
        return;
    }
    if (mode == ITEM_APPEND)
        it->offset = it->size;
    checkItem(it);
    *itno = it->handle;
}

// Writes a modified window to the item's file. An odd-length window ending inside the item
// is first made even with the next byte from the file.
void writeWindow(Item* it, int* iostat)
{
    assert(it->fd >= 0 && it->ioState == IO_MODIFIED);
    *iostat = 0;
    if ((it->ioLength & 1) && it->ioStart + it->ioLength < it->size) {
        dread_c(it->fd, it->buf.data() + it->ioLength, it->ioStart + it->ioLength, 1, iostat);
        if (*iostat)
            return;
        ++it->ioLength;
    }
    dwrite_c(it->fd, it->buf.data(), it->ioStart, static_cast<size_t>(it->ioLength), iostat);
    if (*iostat == 0)
        it->ioState = IO_VALID;
}

// Retires the window and starts a new one at `off` rounded down to even: filled from the
// file for a read, empty for a write. Only items with a file ever move their window.
void moveWindow(Item* it, off_t off, bool dowrite, int* iostat)
{
    assert(it->fd >= 0);
    *iostat = 0;
    if (it->ioState == IO_MODIFIED) {
        writeWindow(it, iostat);
        if (*iostat)
            return;
    }
    it->ioStart = off & ~static_cast<off_t>(1);
    it->ioLength = 0;
    it->ioState = IO_EMPTY;
    if (dowrite)
        return;
    const int len = static_cast<int>(std::min<off_t>(it->size - it->ioStart, capacity(it)));
    dread_c(it->fd, it->buf.data(), it->ioStart, static_cast<size_t>(len), iostat);
    if (*iostat)
        return;
    it->ioLength = len;
    it->ioState = IO_VALID;
}

// A write that begins beyond the window's held bytes: the bytes between come from the file
// where the item has them, and are zero beyond the item's end.
void fillGap(Item* it, off_t off, int* iostat)
{
    *iostat = 0;
    const off_t held = it->ioStart + it->ioLength;
    const off_t fromFile = std::min(off, it->size);
    if (held < fromFile) {
        assert(it->fd >= 0);
        dread_c(it->fd, it->buf.data() + it->ioLength, held, static_cast<size_t>(fromFile - held), iostat);
        if (*iostat)
            return;
    }
    const off_t zeroFrom = std::max(held, fromFile);
    std::memset(it->buf.data() + (zeroFrom - it->ioStart), 0, static_cast<size_t>(off - zeroFrom));
    it->ioLength = static_cast<int>(off - it->ioStart);
    if (it->ioState == IO_EMPTY)
        it->ioState = IO_VALID;
}

// A small item that outgrows 64 bytes moves to a file of its own; its bytes reach the file
// when the window is next written out.
void moveOut(Tree* t, Item* it, int* iostat)
{
    if (it->flags & ITEM_CACHE) {
        t->flags |= TREE_CACHEMOD;
        it->flags &= ~ITEM_CACHE;
    }
    const off_t size = it->size;
    openFile(t, it, "write", iostat);
    if (*iostat) {
        it->buf.resize(CACHESIZE);
        return;
    }
    it->size = size;
    if (it->ioLength > 0)
        it->ioState = IO_MODIFIED;
}

// Bytes on disk per element and memory bytes per disk byte of a transfer type.
void typeSizes(int type, int* elsize, int* expansion)
{
    *expansion = 1;
    switch (type) {
    case IO_BYTE:
    case IO_TEXT:
        *elsize = 1;
        return;
    case IO_INT:
    case IO_REAL:
    case IO_CMPLX:
        *elsize = 4;
        return;
    case IO_INT2:
        *elsize = 2;
        *expansion = 2;
        return;
    case IO_DBLE:
    case IO_INT8:
        *elsize = 8;
        return;
    default:
        bug_c('f', "hio_c: Unrecognised type");
    }
}

// Converts n disk bytes (whole elements) to memory form and back.
void toMemory(int type, const char* disk, char* mem, int n)
{
    switch (type) {
    case IO_INT:
        unpack32_c(disk, reinterpret_cast<int*>(mem), n / 4);
        break;
    case IO_INT2:
        unpack16_c(disk, reinterpret_cast<int*>(mem), n / 2);
        break;
    case IO_REAL:
    case IO_CMPLX:
        unpackr_c(disk, reinterpret_cast<float*>(mem), n / 4);
        break;
    case IO_DBLE:
        unpackd_c(disk, reinterpret_cast<double*>(mem), n / 8);
        break;
    case IO_INT8:
        unpack64_c(disk, reinterpret_cast<int64_t*>(mem), n / 8);
        break;
    default:
        std::memcpy(mem, disk, static_cast<size_t>(n));
        break;
    }
}

void toDisk(int type, const char* mem, char* disk, int n)
{
    switch (type) {
    case IO_INT:
        pack32_c(reinterpret_cast<const int*>(mem), disk, n / 4);
        break;
    case IO_INT2:
        pack16_c(reinterpret_cast<const int*>(mem), disk, n / 2);
        break;
    case IO_REAL:
    case IO_CMPLX:
        packr_c(reinterpret_cast<const float*>(mem), disk, n / 4);
        break;
    case IO_DBLE:
        packd_c(reinterpret_cast<const double*>(mem), disk, n / 8);
        break;
    case IO_INT8:
        pack64_c(reinterpret_cast<const int64_t*>(mem), disk, n / 8);
        break;
    default:
        std::memcpy(disk, mem, static_cast<size_t>(n));
        break;
    }
}

// Rewrites the "header" item from the tree's small items, newest first: per item a 16-byte
// block (name, NUL-terminated, zero-filled; the size in byte 15) and its data, each block at
// a multiple of 16, the gaps zero; the file ends directly after the last item's data.
void writeCache(Tree* t, int* iostat)
{
    int ih;
    accessItem(t->handle, &ih, "header", "write", iostat, true);
    if (*iostat)
        return;
    off_t off = 0;
    for (Item* it = t->items; it && *iostat == 0; it = it->next) {
        if (it->fd >= 0 || (it->flags & ITEM_NOCACHE))
            continue;
        assert(it->size <= CACHESIZE);
        char block[16] = {};
        std::strncpy(block, it->name.c_str(), 15);
        block[15] = static_cast<char>(it->size);
        hio_c(ih, 1, IO_BYTE, block, off, 16, iostat);
        if (*iostat == 0 && it->size > 0)
            hio_c(ih, 1, IO_BYTE, it->buf.data(), off + 16, it->size, iostat);
        if (*iostat == 0) {
            it->flags |= ITEM_CACHE;
            it->ioState = it->size ? IO_VALID : IO_EMPTY;
        }
        off += 16 + (it->size + 15) / 16 * 16;
    }
    int st;
    hdaccess_c(ih, &st);
    if (*iostat == 0)
        *iostat = st;
    if (*iostat == 0)
        t->flags &= ~TREE_CACHEMOD;
}

// Reads the "header" item into item records flagged cached. A block that does not fit whole
// ends the cache; a block that makes no sense is fatal.
void readCache(Tree* t, int ih)
{
    off_t off = 0;
    while (true) {
        char block[16];
        int st;
        hio_c(ih, 0, IO_BYTE, block, off, 16, &st);
        if (st == -1)
            break;
        const int size = static_cast<signed char>(block[15]);
        const bool terminated = std::memchr(block, 0, 15) != nullptr;
        if (st != 0 || !terminated || size < 0 || size > CACHESIZE || !nameOk(block, false) ||
            std::strcmp(block, ".") == 0 || findItem(t, block))
            bug_c('f', "hcache_read_c: Something wrong reading cache");
        Item* it = newItem(t, block);
        it->flags = ITEM_CACHE;
        it->size = size;
        it->buf.resize(static_cast<size_t>(size));
        if (size > 0) {
            hio_c(ih, 0, IO_BYTE, it->buf.data(), off + 16, size, &st);
            if (st)
                bugno_c('f', st);
            it->ioLength = size;
            it->ioState = IO_VALID;
        }
        checkItem(it);
        off += 16 + (size + 15) / 16 * 16;
    }
}

}  // namespace

extern "C" {

void hopen_c(int* tno, const char* name, const char* status, int* iostat)
{
    initialise();
    *tno = 0;
    const bool old = std::strcmp(status, "old") == 0;
    if (!old && std::strcmp(status, "new") != 0) {
        *iostat = -1;
        return;
    }
    char path[4096];
    dtrans_c(name, path, sizeof path, iostat);
    if (*iostat)
        return;
    Tree* t = newTree(path);
    int ih, st;
    if (old) {
        accessItem(t->handle, &ih, "header", "read", iostat, true);
        if (*iostat) {
            releaseTree(t);
            return;
        }
        readCache(t, ih);
        hdaccess_c(ih, iostat);
        if (*iostat) {
            releaseTree(t);
            return;
        }
    } else {
        dmkdir_c(path, iostat);
        if (*iostat) {
            releaseTree(t);
            return;
        }
        accessItem(t->handle, &ih, "header", "write", iostat, true);
        if (*iostat) {
            drmdir_c(path, &st);
            releaseTree(t);
            return;
        }
        hdaccess_c(ih, iostat);
        t->flags |= TREE_NEW;
        t->rdwr = RDWR_RDWR;
        t->wrstat = 0;
    }
    *tno = t->handle;
}

void hclose_c(int tno)
{
    Tree* t = treeOf(tno, "HCLOSE");
    std::vector<int> open;
    for (const Item* it = t->items; it; it = it->next)
        if (it->flags & ACCESS_MODES)
            open.push_back(it->handle);
    int st;
    for (int h : open) {
        bug_c('w', ("Closing item -- " + items[h]->name).c_str());
        hdaccess_c(h, &st);
        if (st)
            bugno_c('f', st);
    }
    hflush_c(tno, &st);
    if (st)
        bugno_c('f', st);
    if (tno != 0)
        releaseTree(t);
}

void hflush_c(int tno, int* iostat)
{
    Tree* t = treeOf(tno, "HFLUSH");
    *iostat = 0;
    for (Item* it = t->items; it; it = it->next) {
        if (it->fd >= 0 && it->ioState == IO_MODIFIED && !(it->flags & ITEM_SCRATCH)) {
            int st;
            writeWindow(it, &st);
            if (*iostat == 0)
                *iostat = st;
        }
    }
    if (*iostat == 0 && (t->flags & TREE_CACHEMOD))
        writeCache(t, iostat);
}

void haccess_c(int tno, int* itno, const char* keyword, const char* status, int* iostat)
{
    accessItem(tno, itno, keyword, status, iostat, false);
}

void hdaccess_c(int itno, int* iostat)
{
    Item* it = accessedItem(itno, "HDACCESS");
    Tree* t = trees[it->tree];
    *iostat = 0;
    if (it->fd >= 0) {
        if (it->ioState == IO_MODIFIED && !(it->flags & ITEM_SCRATCH))
            writeWindow(it, iostat);
        int st;
        dclose_c(it->fd, &st);
        it->fd = -1;
        if (*iostat == 0)
            *iostat = st;
        releaseItem(it);
    } else if (!(it->flags & ITEM_NOCACHE)) {
        it->flags &= ~ACCESS_MODES;
        if (it->ioState == IO_MODIFIED)
            t->flags |= TREE_CACHEMOD;
    } else {
        releaseItem(it);
    }
}

void hio_c(int itno, int dowrite, int type, void* buf, off_t offset, off_t length, int* iostat)
{
    Item* it = accessedItem(itno, "HIO");
    Tree* t = trees[it->tree];
    int elsize = 1, expansion = 1;
    typeSizes(type, &elsize, &expansion);
    *iostat = 0;
    if (offset < 0 || length < 0 || length % elsize != 0 || length > LLONG_MAX - offset) {
        *iostat = EINVAL;
        return;
    }
    if (dowrite && !(it->flags & (ITEM_WRITE | ITEM_SCRATCH | ITEM_APPEND))) {
        *iostat = EBADF;
        return;
    }
    if (length == 0)
        return;
    const bool textRead = type == IO_TEXT && !dowrite;
    const off_t end = offset + (textRead ? 1 : length);
    if (!dowrite && end > it->size) {
        *iostat = -1;
        return;
    }
    checkItem(it);

    if (capacity(it) < BUFSIZE && capacity(it) < end) {
        it->buf.resize(end <= CACHESIZE ? CACHESIZE : BUFSIZE);
        if (it->fd < 0 && !(it->flags & ITEM_NOCACHE) && capacity(it) > CACHESIZE) {
            moveOut(t, it, iostat);
            if (*iostat)
                return;
        }
    }

    char* user = static_cast<char*>(buf);
    off_t off = offset;
    off_t remaining = length;
    while (remaining > 0) {
        const off_t windowEnd = it->ioStart + (dowrite ? capacity(it) : it->ioLength);
        if (off < it->ioStart || off >= windowEnd) {
            moveWindow(it, off, dowrite, iostat);
            if (*iostat)
                return;
        }
        if (dowrite && off > it->ioStart + it->ioLength) {
            fillGap(it, off, iostat);
            if (*iostat)
                return;
        }
        const off_t avail = it->ioStart + (dowrite ? capacity(it) : it->ioLength) - off;
        int n = static_cast<int>(std::min(avail, remaining));
        if (n < elsize) {
            // One element straddles the window's end: stage it through a byte transfer.
            char staged[8];
            if (dowrite) {
                toDisk(type, user, staged, elsize);
                hio_c(itno, 1, IO_BYTE, staged, off, elsize, iostat);
            } else {
                hio_c(itno, 0, IO_BYTE, staged, off, elsize, iostat);
                toMemory(type, staged, user, elsize);
            }
            if (*iostat)
                return;
            n = elsize;
        } else {
            n -= n % elsize;
            char* window = it->buf.data() + (off - it->ioStart);
            if (textRead) {
                const char* nl = static_cast<const char*>(std::memchr(window, '\n', static_cast<size_t>(n)));
                if (nl) {
                    const int k = static_cast<int>(nl - window);
                    std::memcpy(user, window, static_cast<size_t>(k));
                    user[k] = 0;
                    off += k + 1;
                    break;
                }
                std::memcpy(user, window, static_cast<size_t>(n));
                if (off + n == it->size && remaining > n) {
                    user[n] = 0;
                    off += n;
                    break;
                }
            } else if (dowrite) {
                toDisk(type, user, window, n);
                if (type == IO_TEXT && remaining == n && window[n - 1] == 0)
                    window[n - 1] = '\n';
                it->ioState = IO_MODIFIED;
                it->ioLength = std::max(it->ioLength, static_cast<int>(off + n - it->ioStart));
                it->size = std::max(it->size, it->ioStart + it->ioLength);
                if (it->fd < 0)
                    t->flags |= TREE_CACHEMOD;
            } else {
                toMemory(type, window, user, n);
            }
        }
        off += n;
        remaining -= n;
        user += static_cast<off_t>(n) * expansion;
    }
    it->offset = off;
    checkItem(it);
}

void hreada_c(int itno, char* line, int length, int* iostat)
{
    Item* it = accessedItem(itno, "HREADA");
    if (length < 2) {
        *iostat = EINVAL;
        return;
    }
    hio_c(itno, 0, IO_TEXT, line, it->offset, length, iostat);
    if (*iostat == 0 && !std::memchr(line, 0, static_cast<size_t>(length))) {
        // The line is longer than the buffer: keep it terminated, and its last character
        // for the next call.
        line[length - 1] = 0;
        it->offset -= 1;
    }
}

void hwritea_c(int itno, const char* line, int length, int* iostat)
{
    Item* it = accessedItem(itno, "HWRITEA");
    hio_c(itno, 1, IO_TEXT, const_cast<char*>(line), it->offset, length, iostat);
}

void hseek_c(int itno, off_t offset)
{
    accessedItem(itno, "HSEEK")->offset = offset;
}

off_t htell_c(int itno)
{
    return accessedItem(itno, "HTELL")->offset;
}

off_t hsize_c(int itno)
{
    return accessedItem(itno, "HSIZE")->size;
}

int hexists_c(int tno, const char* keyword)
{
    Tree* t = treeOf(tno, "HEXISTS");
    if (tno != 0) {
        if (!nameOk(keyword, false))
            return 0;
        if (findItem(t, keyword))
            return 1;
    }
    int fd, iostat;
    off_t size;
    dopen_c(&fd, (t->path + keyword).c_str(), "read", &size, &iostat);
    if (iostat)
        return 0;
    dclose_c(fd, &iostat);
    if (iostat)
        bug_c('f', "hexists_c: Error closing item");
    return 1;
}

void hdelete_c(int tno, const char* keyword, int* iostat)
{
    Tree* t = treeOf(tno, "HDELETE");
    *iostat = 0;
    if (tno != 0) {
        if (!nameOk(keyword, false)) {
            *iostat = -1;
            return;
        }
        if (t->rdwr == RDWR_UNKNOWN)
            probeWriteAccess(t);
        if (t->wrstat) {
            *iostat = t->wrstat;
            return;
        }
    }
    Item* it = findItem(t, keyword);
    if (it) {
        if (it->flags & ACCESS_MODES)
            bug_c('f', "hdelete: Attempt to delete an accessed item");
        if (it->flags & ITEM_CACHE)
            t->flags |= TREE_CACHEMOD;
        releaseItem(it);
    }
    int st;
    ddelete_c((t->path + keyword).c_str(), &st);
    *iostat = it ? 0 : st;
}

void hrm_c(int tno)
{
    Tree* t = treeOf(tno, "HRM");
    if (tno == 0)
        return;
    int st;
    void* dir;
    dopendir_c(&dir, t->path.c_str());
    char entry[1024];
    for (dreaddir_c(dir, entry, sizeof entry); entry[0]; dreaddir_c(dir, entry, sizeof entry))
        if (std::strcmp(entry, "header") != 0)
            ddelete_c((t->path + entry).c_str(), &st);
    dclosedir_c(dir);
    ddelete_c((t->path + "header").c_str(), &st);
    drmdir_c(t->path.c_str(), &st);
    releaseTree(t);
}

void habort_c(void)
{
    if (!initialised)
        return;
    int st;
    for (Item* it = trees[0]->items; it; it = it->next)
        if (it->fd >= 0 && it->ioState == IO_MODIFIED && !(it->flags & ITEM_SCRATCH))
            writeWindow(it, &st);
    for (int tno = 1; tno < MAXTREES; ++tno) {
        Tree* t = trees[tno];
        if (!t)
            continue;
        std::vector<int> handles;
        for (const Item* it = t->items; it; it = it->next)
            handles.push_back(it->handle);
        for (int h : handles) {
            Item* it = items[h];
            if (it->ioState == IO_MODIFIED)
                it->ioState = it->ioLength ? IO_VALID : IO_EMPTY;
            if (!(it->flags & ACCESS_MODES))
                continue;
            const bool writing = it->flags & ITEM_WRITE;
            const std::string name = it->name;
            hdaccess_c(h, &st);
            if (writing)
                hdelete_c(tno, name.c_str(), &st);
        }
        t->flags &= ~TREE_CACHEMOD;
        if (t->flags & TREE_NEW)
            hrm_c(tno);
        else
            hclose_c(tno);
    }
}

void hmode_c(int tno, char* mode, int modelen)
{
    Tree* t = treeOf(tno, "HMODE");
    const char* m = "";
    if (tno != 0) {
        if (t->rdwr == RDWR_UNKNOWN)
            probeWriteAccess(t);
        if (t->rdwr == RDWR_RDONLY)
            m = "r";
        else if (t->rdwr == RDWR_RDWR)
            m = "rw";
        else
            bug_c('f', "Algorithmic failure, in HMODE");
    }
    if (modelen > 0)
        std::snprintf(mode, static_cast<size_t>(modelen), "%s", m);
}

}  // extern "C"
