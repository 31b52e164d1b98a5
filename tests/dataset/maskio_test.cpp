// Flag masks: bit positions on disk, pieces across words and windows, and the fatal messages
// of damaged masks (the real masks, whose words can have bit 31 set, are checked record by
// record against their bytes in the access-layer test).
#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/pack.h"
#include "tests/dataset/uvtest.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace kestrum::test;

namespace {

std::string words(std::initializer_list<uint32_t> values)
{
    std::string s;
    for (uint32_t v : values) {
        const int i = static_cast<int>(v);
        char b[4];
        pack32_c(&i, b, 1);
        s.append(b, 4);
    }
    return s;
}

// The flags of a mask item's bytes, decoded bit by bit: flag k is bit (k+31) % 31 of word
// (k+31) / 31; bit 31 is ignored.
std::vector<int> decode(const std::string& item)
{
    std::vector<int> flags;
    for (size_t w = 1; w < item.size() / 4; ++w) {
        int v;
        unpack32_c(item.data() + 4 * w, &v, 1);
        for (int b = 0; b < 31; ++b)
            flags.push_back((v >> b) & 1);
    }
    return flags;
}

}  // namespace

TEST(Maskio, FlagPositionsOnDisk)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    const int mask = mkopen_c(tno, "flags", "new");
    ASSERT_GT(mask, 0);
    std::vector<int> flags(500, 0);  // 18 words: beyond 64 bytes, so a file of its own
    flags[0] = flags[30] = flags[31] = flags[99] = 1;
    mkwrite_c(mask, MK_FLAGS, flags.data(), 0, 500, 500);
    mkclose_c(mask);
    hclose_c(tno);
    // Flag 0: bit 0 of the word at 4; flag 30: bit 30 there; flag 31: bit 0 of the word at 8;
    // flag 99 = position 130 = bit 6 of word 4. Whole words, bit 31 clear.
    EXPECT_EQ(readFile(ds + "/flags"), words({2, 0x40000001, 1, 0, 0x40}) + std::string(13 * 4, '\0'));

    tno = openTree(ds, "old");
    const int old = mkopen_c(tno, "flags", "old");
    std::vector<int> back(527);
    EXPECT_EQ(mkread_c(old, MK_FLAGS, back.data(), 0, 527, 527), 527);  // whole words: 17 * 31
    flags.resize(527, 0);
    EXPECT_EQ(back, flags);
    mkclose_c(old);
    EXPECT_EQ(mkopen_c(tno, "wflags", "old"), 0);  // absent: no handle, no message
    hclose_c(tno);
}

TEST(Maskio, WindowsAndPieces)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    const int n = 20000;  // about five 3968-flag windows
    std::mt19937 rng(7);
    std::vector<int> model(n);
    for (int& f : model)
        f = (rng() % 7 == 0) ? 0 : 1;
    for (int i = 1000; i < 1200; ++i)  // a stretch of whole bad words
        model[static_cast<size_t>(i)] = 0;
    int m = mkopen_c(tno, "flags", "new");
    for (int at = 0; at < n; at += 997)  // pieces not aligned to words or windows
        mkwrite_c(m, MK_FLAGS, model.data() + at, at, std::min(997, n - at), 997);
    mkclose_c(m);
    hclose_c(tno);
    std::vector<int> onDisk = decode(readFile(ds + "/flags"));
    onDisk.resize(n);
    EXPECT_EQ(onDisk, model);

    tno = openTree(ds, "old");
    m = mkopen_c(tno, "flags", "old");
    std::vector<int> back(n);
    // Read in pieces that straddle window ends.
    for (int at = 0; at < n; at += 3000)
        mkread_c(m, MK_FLAGS, back.data() + at, at, std::min(3000, n - at), 3000);
    EXPECT_EQ(back, model);
    mkclose_c(m);
    hclose_c(tno);
}

TEST(Maskio, FatalMessages)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    putItem(tno, "short", words({2}));
    putItem(tno, "real", words({4, 0}));
    putItem(tno, "full", words({2, 0x7fffffff}));
    hclose_c(tno);
    tno = openTree(ds, "old");
    const int full = mkopen_c(tno, "full", "old");
    std::vector<int> f(31);
    const std::pair<std::function<void()>, const char*> fatal[] = {
        {[&] { mkopen_c(tno, "short", "old"); }, "Mask file short appears bad"},
        {[&] { mkopen_c(tno, "real", "old"); }, "Mask file real is not integer valued"},
        {[&] { mkread_c(full, MK_FLAGS, f.data(), 31, 1, 31); }, "Read past end of mask file"},
        {[&] { mkread_c(full, MK_FLAGS, f.data(), -1, 1, 31); }, "Negative flag offset, in MKREAD"},
    };
    for (const auto& [action, message] : fatal)
        EXPECT_EXIT(action(), testing::ExitedWithCode(1), fatalRe(message) + "\n");
    mkclose_c(full);
    hclose_c(tno);
}
