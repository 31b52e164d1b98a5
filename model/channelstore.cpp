// Memory for the records' channel values and flag bytes, brought in ahead of the records.
#include "model/channelstore.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace {

// Address space taken at a time; pages of it come into memory only as records reach them.
constexpr size_t kBlockBytes = 64u << 20;
// Pages brought in ahead of what is kept: one call instead of a page fault for each page, and
// few enough that they are still in the cache when records are written there.
constexpr size_t kPieceBytes = 256u << 10;

size_t pageBytes()
{
    static const auto bytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

size_t roundUp(size_t bytes, size_t to)
{
    return (bytes + to - 1) / to * to;
}

}  // namespace

ChannelStore::~ChannelStore()
{
    for (const Block& b : blocks_)
        munmap(b.base, b.bytes);
}

unsigned char* ChannelStore::room(size_t bytes)
{
    if (blocks_.empty() || used_ + bytes > blocks_.back().bytes)
        newBlock(bytes);
    Block& b = blocks_.back();
#ifdef MADV_POPULATE_WRITE
    // Kernels before 5.14 refuse the advice; the pages then come in as they are written.
    if (populated_ < used_ + kPieceBytes / 2 && populated_ < b.bytes) {
        const size_t end = std::min(b.bytes, roundUp(used_ + kPieceBytes, pageBytes()));
        madvise(b.base + populated_, end - populated_, MADV_POPULATE_WRITE);
        populated_ = end;
    }
#endif
    return b.base + used_;
}

void ChannelStore::keep(size_t bytes)
{
    const size_t aligned = roundUp(bytes, 8);
    used_ += aligned;
    kept_ += aligned;
}

void ChannelStore::newBlock(size_t bytes)
{
    if (!blocks_.empty()) {
        Block& last = blocks_.back();
        const size_t end = roundUp(used_, pageBytes());
        if (end < last.bytes)
            munmap(last.base + end, last.bytes - end);
        last.bytes = end;
        if (end == 0)
            blocks_.pop_back();
    }
    const size_t size = roundUp(std::max(bytes, kBlockBytes), pageBytes());
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        throw std::bad_alloc();
    blocks_.push_back({static_cast<unsigned char*>(base), size});
    used_ = 0;
    populated_ = 0;
}
