// Polarisation codes and names: the lookup in both directions and the parallel-hand test.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "task/pols.h"

namespace {

using ::testing::ExitedWithCode;

TEST(Pols, NamesAndCodesTranslateBothWaysAndParallelHandsAreKnown)
{
    const char* names[] = {"YX", "XY", "YY", "XX", "LR", "RL", "LL", "RR", "", "I", "Q", "U", "V"};
    char name[3];
    for (int code = -8; code <= 4; code++) {
        if (code == 0)
            continue;
        polsc2p(name, sizeof name, code);
        EXPECT_STREQ(name, names[code + 8]) << code;
        std::string lower = name;
        for (char& ch : lower)
            ch = static_cast<char>(std::tolower(ch));
        EXPECT_EQ(polsp2c(name), code) << name;
        EXPECT_EQ(polsp2c(lower.c_str()), code) << lower;
        EXPECT_EQ(polsp2c((std::string(name) + " ").c_str()), code) << "blank-padded " << name;
    }
    for (int code = -8; code <= 6; code++)
        EXPECT_EQ(polspara(code), code == 1 || code == -1 || code == -2 || code == -5 || code == -6) << code;
    char small[2];
    polsc2p(small, sizeof small, -5);
    EXPECT_STREQ(small, "X") << "cut to the caller's buffer";
}

TEST(PolsDeath, UnknownNamesAndCodesAreFatal)
{
    for (const char* name : {"Xx", "xxx", "", "ii"})
        EXPECT_EXIT(polsp2c(name), ExitedWithCode(1), std::string("Unrecognized polarization mnemonic: ") + name);
    char name[3];
    for (int code : {0, 5, -9})
        EXPECT_EXIT(polsc2p(name, sizeof name, code), ExitedWithCode(1), "Illegal polarization code");
}

}  // namespace
