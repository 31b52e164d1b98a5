// Polarisation codes and their two-letter names.
#include "task/pols.h"

#include <cstring>
#include <string>

#include "dataset/bug.h"

namespace {

struct PolName {
    const char* name;  // two characters, blank-padded
    int code;
};

// Sorted by character code so that a name can be found by binary search.
const PolName kNames[] = {
    {"I ", 1},  {"LL", -2}, {"LR", -4}, {"Q ", 2},  {"RL", -3}, {"RR", -1}, {"U ", 3},  {"V ", 4},
    {"XX", -5}, {"XY", -7}, {"YX", -8}, {"YY", -6}, {"i ", 1},  {"ll", -2}, {"lr", -4}, {"q ", 2},
    {"rl", -3}, {"rr", -1}, {"u ", 3},  {"v ", 4},  {"xx", -5}, {"xy", -7}, {"yx", -8}, {"yy", -6},
};
constexpr int kNumNames = sizeof(kNames) / sizeof(kNames[0]);

// Names indexed by code + 8; code 0 has none.
const char* const kByCode[] = {"YX", "XY", "YY", "XX", "LR", "RL", "LL", "RR", nullptr, "I", "Q", "U", "V"};

}  // namespace

extern "C" int polsp2c(const char* name)
{
    std::string given = name ? name : "";
    while (!given.empty() && given.back() == ' ')
        given.pop_back();
    if (given.size() >= 1 && given.size() <= 2) {
        char key[3] = {given[0], given.size() == 2 ? given[1] : ' ', '\0'};
        int lo = 0, hi = kNumNames - 1;
        while (lo <= hi) {
            int mid = (lo + hi) / 2;
            int c = std::strcmp(key, kNames[mid].name);
            if (c == 0)
                return kNames[mid].code;
            if (c < 0)
                hi = mid - 1;
            else
                lo = mid + 1;
        }
    }
    bug_c('f', ("Unrecognized polarization mnemonic: " + given).c_str());
    return 0;
}

extern "C" void polsc2p(char* name, int namelen, int code)
{
    if (code < -8 || code > 4 || code == 0) {
        bug_c('f', "Illegal polarization code");
        return;
    }
    if (!name || namelen < 1)
        return;
    const char* text = kByCode[code + 8];
    int n = static_cast<int>(std::strlen(text));
    if (n > namelen - 1)
        n = namelen - 1;
    std::memcpy(name, text, n);
    name[n] = '\0';
}

extern "C" int polspara(int code)
{
    return code == 1 || code == -1 || code == -2 || code == -5 || code == -6;
}
