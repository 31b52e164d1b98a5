// Memory for the records' channel values and flag bytes, which the records point into and
// which must outlive them: large blocks whose pages are brought in a piece at a time, ahead of
// the records written there, instead of one page fault at a time.
#pragma once

#include <cstddef>
#include <vector>

class ChannelStore {
public:
    ChannelStore() = default;
    ChannelStore(const ChannelStore&) = delete;
    ChannelStore& operator=(const ChannelStore&) = delete;
    ~ChannelStore();

    // Room for `bytes` after what is kept, 8-byte aligned. Until keep(), room() with no more
    // bytes gives the same place again, so that a record can be read straight into it before
    // it is known to be kept.
    unsigned char* room(size_t bytes);
    // Keeps the first `bytes` of the room (at most what room() was asked for).
    void keep(size_t bytes);
    // Bytes kept so far.
    size_t kept() const { return kept_; }

private:
    struct Block {
        unsigned char* base;
        size_t bytes;
    };
    // Starts a block of at least `bytes`, giving the unused end of the last one back.
    void newBlock(size_t bytes);

    std::vector<Block> blocks_;
    size_t used_ = 0;  // bytes kept in the last block
    size_t populated_ = 0;  // bytes at the start of the last block whose pages are in memory
    size_t kept_ = 0;
};
