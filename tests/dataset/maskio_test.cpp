// Flag masks: bit positions on disk and the fatal messages of damaged masks (the real masks, whose
// words can have bit 31 set and which reading crosses windows of, are checked record by record
// against their bytes in the access-layer test).
#include "dataset/maskio.h"
#include "tests/dataset/uvtest.h"

using namespace kestrum::test;

TEST(Maskio, FlagPositionsOnDiskAndDamagedMasks)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    const int mask = mkopen_c(tno, "flags", "new");
    ASSERT_GT(mask, 0);
    std::vector<int> flags(500,
                           0);  // 18 words: beyond 64 bytes, so a file of its own
    flags[0] = flags[30] = flags[31] = flags[99] = 1;
    mkwrite_c(mask, MK_FLAGS, flags.data(), 0, 500, 500);
    mkclose_c(mask);
    putItem(tno, "short", Bytes().i32(2).s);
    putItem(tno, "real", Bytes().i32(4).i32(0).s);
    putItem(tno, "full", Bytes().i32(2).i32(0x7fffffff).s);
    hclose_c(tno);
    // Flag 0: bit 0 of the word at 4; flag 30: bit 30 there; flag 31: bit 0 of the word at 8; flag
    // 99 = position 130 = bit 6 of word 4. Whole words, bit 31 clear.
    EXPECT_EQ(readFile(ds + "/flags"), Bytes().i32(2).i32(0x40000001).i32(1).i32(0).i32(0x40).fill(13 * 4, 0).s);

    tno = openTree(ds, "old");
    const int old = mkopen_c(tno, "flags", "old");
    std::vector<int> back(527);
    EXPECT_EQ(mkread_c(old, MK_FLAGS, back.data(), 0, 527, 527),
              527);  // whole words: 17 * 31
    flags.resize(527, 0);
    EXPECT_EQ(back, flags);
    mkclose_c(old);
    EXPECT_EQ(mkopen_c(tno, "wflags", "old"), 0);  // absent: no handle, no message

    const int full = mkopen_c(tno, "full", "old");
    const std::pair<std::function<void()>, const char*> fatal[] = {
        {[&] { mkopen_c(tno, "short", "old"); }, "Mask file short appears bad"},
        {[&] { mkopen_c(tno, "real", "old"); }, "Mask file real is not integer valued"},
        {[&] { mkread_c(full, MK_FLAGS, back.data(), 31, 1, 31); }, "Read past end of mask file"},
    };
    for (const auto& [action, message] : fatal)
        EXPECT_EXIT(action(), testing::ExitedWithCode(1), fatalRe(message) + "\n");
    mkclose_c(full);
    hclose_c(tno);
}
