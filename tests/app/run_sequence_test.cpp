// The channel range of the run sequence: one-based command-line channels (0 = not given)
// clamped into the data set's zero-based range, from numbers that saturate instead of
// overflowing.
#include "app/kestrum.h"

#include <gtest/gtest.h>

#include <climits>

TEST(ChannelRange, GivenChannelsBecomeZeroBasedAndAreClampedIntoTheBand)
{
    const struct {
        int bchan, echan, nchan, first, last;
    } cases[] = {
        {0, 0, 64, 0, 63},  // defaults: every channel
        {0, 0, 1, 0, 0},      {5, 10, 64, 4, 9},
        {1, 64, 64, 0, 63},   {10, 5, 64, 9, 9},  // echan below bchan
        {500, 0, 64, 63, 63},  // bchan beyond the band
        {0, 1, 64, 0, 0},  // only echan 1
        {0, 900, 64, 0, 63},  // echan beyond the band
        {-7, -3, 64, 0, 0},  // negative: from the start, echan up to bchan
        {3, -1, 64, 2, 2},    {INT_MAX, INT_MIN, 64, 63, 63},
    };
    for (const auto& c : cases) {
        KrellParams p(eAppView);
        p.bchan = c.bchan;
        p.echan = c.echan;
        clampChannelRange(p, c.nchan);
        EXPECT_EQ(std::make_pair(p.bchan, p.echan), std::make_pair(c.first, c.last))
            << c.bchan << " " << c.echan << " of " << c.nchan;
    }
}

TEST(ChannelRange, NumbersOnTheCommandLineSaturate)
{
    std::string words[] = {"prog", "vis=/d", "bchan=99999999999", "echan=-99999999999"};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data()};
    KrellParams p(eAppView);
    ASSERT_TRUE(p.read(4, argv));
    EXPECT_EQ(p.bchan, INT_MAX);
    EXPECT_EQ(p.echan, INT_MIN);
}
