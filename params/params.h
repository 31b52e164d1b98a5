// Generic command-line parsing: key=value words, comma-listed option words, the two
// program-wide debugging switches, and the string splitting they use.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Appends to `pieces` the non-empty pieces of `text` between characters of `delimiters`.
// `pieces` is not cleared first.
void split(std::string text, std::string delimiters, std::vector<std::string>& pieces);

class Params {
public:
    Params() = default;

    // Sorts argv[1..argc-1] into plainArgs, keywords and options; "options=debug1" and
    // "options=debug2" switch on debug1 / debug2 (announced on standard output).
    void read(int argc, char** argv);

    std::vector<std::string> plainArgs;  // words without "="
    std::map<std::string, std::string> keywords;  // lower-cased key -> value as given
    std::map<std::string, int32_t> options;  // lower-cased option word -> position in its list

    // First- and second-level diagnostic output, read throughout the program.
    static inline bool debug1 = false;
    static inline bool debug2 = false;
};
