// Polarisation codes and names: the lookup in both directions and the parallel-hand test.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "task/pols.h"

namespace {

using ::testing::ExitedWithCode;

TEST(Pols, NamesGiveTheirCodesInEitherCase) {
    const struct {
        const char *name;
        int code;
    } cases[] = {{"I", 1},   {"Q", 2},   {"U", 3},   {"V", 4},   {"RR", -1}, {"LL", -2},
                 {"RL", -3}, {"LR", -4}, {"XX", -5}, {"YY", -6}, {"XY", -7}, {"YX", -8}};
    for (const auto& c : cases) {
        std::string lower = c.name;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
        EXPECT_EQ(polsp2c(c.name), c.code) << c.name;
        EXPECT_EQ(polsp2c(lower.c_str()), c.code) << lower;
        EXPECT_EQ(polsp2c((std::string(c.name) + " ").c_str()), c.code) << "blank-padded " << c.name;
    }
}

TEST(Pols, CodesGiveTheirNames) {
    char name[3];
    const char *expect[] = {"YX", "XY", "YY", "XX", "LR", "RL", "LL", "RR", "", "I", "Q", "U", "V"};
    for (int code = -8; code <= 4; code++) {
        if (code == 0) continue;
        polsc2p(name, sizeof name, code);
        EXPECT_STREQ(name, expect[code + 8]) << code;
        EXPECT_EQ(polsp2c(name), code);
    }
    char small[2];
    polsc2p(small, sizeof small, -5);
    EXPECT_STREQ(small, "X") << "cut to the caller's buffer";
}

TEST(Pols, ParallelHands) {
    for (int code = -8; code <= 6; code++) {
        const bool para = code == 1 || code == -1 || code == -2 || code == -5 || code == -6;
        EXPECT_EQ(polspara(code), para ? 1 : 0) << code;
    }
}

TEST(PolsDeath, UnknownNamesAreFatal) {
    EXPECT_EXIT(polsp2c("Xx"), ExitedWithCode(1), "Unrecognized polarization mnemonic: Xx");
    EXPECT_EXIT(polsp2c("xxx"), ExitedWithCode(1), "Unrecognized polarization mnemonic: xxx");
    EXPECT_EXIT(polsp2c(""), ExitedWithCode(1), "Unrecognized polarization mnemonic: ");
    EXPECT_EXIT(polsp2c("ii"), ExitedWithCode(1), "Unrecognized polarization mnemonic: ii");
}

TEST(PolsDeath, CodesWithoutANameAreFatal) {
    char name[3];
    EXPECT_EXIT(polsc2p(name, sizeof name, 0), ExitedWithCode(1), "Illegal polarization code");
    EXPECT_EXIT(polsc2p(name, sizeof name, 5), ExitedWithCode(1), "Illegal polarization code");
    EXPECT_EXIT(polsc2p(name, sizeof name, -9), ExitedWithCode(1), "Illegal polarization code");
}

}  // namespace
