// Flag masks: bit positions on disk and the fatal messages of damaged masks (the real masks,
// whose words can have bit 31 set and which reading crosses windows of, are checked record by
// record against their bytes in the access-layer test).
#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/pack.h"
#include "tests/dataset/uvtest.h"

#include <cstdint>
#include <gtest/gtest.h>
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
