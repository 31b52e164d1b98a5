// The channel range of the run sequence: one-based command-line channels (0 = not given)
// clamped into the data set's zero-based range.
#include "app/kestrum.h"

#include <gtest/gtest.h>

namespace {

std::pair<int, int> clamped(int bchan, int echan, int nchan)
{
    KrellParams p(eAppView);
    p.bchan = bchan;
    p.echan = echan;
    clampChannelRange(p, nchan);
    return {p.bchan, p.echan};
}

}  // namespace

TEST(ChannelRange, DefaultsSelectEveryChannel)
{
    EXPECT_EQ(clamped(0, 0, 64), std::make_pair(0, 63));
    EXPECT_EQ(clamped(0, 0, 1), std::make_pair(0, 0));
}

TEST(ChannelRange, GivenChannelsBecomeZeroBased)
{
    EXPECT_EQ(clamped(5, 10, 64), std::make_pair(4, 9));
    EXPECT_EQ(clamped(1, 64, 64), std::make_pair(0, 63));
}

TEST(ChannelRange, OutOfRangeAndReversedChannelsAreClamped)
{
    EXPECT_EQ(clamped(10, 5, 64), std::make_pair(9, 9));  // echan below bchan
    EXPECT_EQ(clamped(500, 0, 64), std::make_pair(63, 63));  // bchan beyond the band
    EXPECT_EQ(clamped(0, 1, 64), std::make_pair(0, 0));  // only echan 1
    EXPECT_EQ(clamped(0, 900, 64), std::make_pair(0, 63));  // echan beyond the band
    EXPECT_EQ(clamped(-7, -3, 64), std::make_pair(0, 0));  // negative: from the start, echan up to bchan
    EXPECT_EQ(clamped(3, -1, 64), std::make_pair(2, 2));
}
