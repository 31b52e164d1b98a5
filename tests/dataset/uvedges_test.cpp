// Edges of uv reading: a data set cut short of its valid length.
#include <gtest/gtest.h>

#include "dataset/headio.h"
#include "tests/dataset/uvtest.h"

using namespace kestrum::test;

TEST(UvCutShort, RecordsUpToTheEndOfTheItemAreReadWithOneWarning)
{
    TempDir dir;
    const std::string record = Bytes().value(1).i32(7).eor().s, head = Bytes().size(1, 4).s;
    // (visdata, records read): whole records, a record cut in its value, in an entry's header,
    // and one whose end-of-record entry stops after its header.
    const std::pair<std::string, int> cases[] = {{head + record + record, 2},
                                                 {head + record + record + record.substr(0, 6), 2},
                                                 {head + record + record + record.substr(0, 2), 2},
                                                 {head + record + record + record.substr(0, 12), 3}};
    int k = 0;
    for (const auto& [visdata, records] : cases) {
        const std::string path = handMadeUv(dir, "d time\ni n\n", visdata, "cut" + std::to_string(k++) + ".uv");
        const int tno = openTree(path, "old");
        wrhdl_c(tno, "vislen", 64);
        hclose_c(tno);
        testing::internal::CaptureStderr();
        int t = 0, n = 0;
        uvopen_c(&t, path.c_str(), "old");
        while (uvscan_c(t, "") == 0)
            ++n;
        EXPECT_EQ(uvscan_c(t, ""), -1);  // and stays at the end
        uvclose_c(t);
        EXPECT_EQ(n, records) << path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "### Warning:  visdata of " + path + " holds " + std::to_string(visdata.size()) +
                      " bytes, fewer than its valid length 64: reading the records it holds, in UVOPEN\n");
    }
}
