// The "line" and "ref" keywords: the line type by minimum match, then the numbers with the
// defaults of that type.
#include "task/keyline.h"

#include "dataset/bug.h"
#include "task/key.h"

#include <cstring>

namespace {

const char* const LineTypes[] = {"channel", "velocity", "felocity", "wide"};

// Reads the type of keyword `key` into `type`; true when it is a velocity type.
bool lineType(const char* key, char* type, int typelen)
{
    char word[9];
    int n = 0;
    keymatch(key, 4, LineTypes, 1, word, sizeof word, &n);
    if (n == 0)
        word[0] = '\0';
    if (type && typelen > 0) {
        std::strncpy(type, word, static_cast<size_t>(typelen - 1));
        type[typelen - 1] = '\0';
    }
    return std::strcmp(word, "velocity") == 0 || std::strcmp(word, "felocity") == 0;
}

// The type, count, start, width and step of "line"; true for a velocity type.
bool readLine(char* ltype, int ltypelen, int* nchan, float* lstart, float* lwidth, float* lstep)
{
    bool velocity = lineType("line", ltype, ltypelen);
    keyi("line", nchan, 0);
    if (*nchan < 0)
        bug_c('f', "Invalid number of chans in line parameter");
    float one = velocity ? 0.0f : 1.0f;
    keyr("line", lstart, one);
    keyr("line", lwidth, one);
    keyr("line", lstep, *lwidth);
    return velocity;
}

}  // namespace

extern "C" {

void keyline(char* ltype, int ltypelen, int* nchan, float* lstart, float* lwidth, float* lstep)
{
    readLine(ltype, ltypelen, nchan, lstart, lwidth, lstep);
}

void keygline(char* ltype, int ltypelen, int* nchan, float* lstart, float* lwidth, float* lstep, float* lflag)
{
    if (readLine(ltype, ltypelen, nchan, lstart, lwidth, lstep))
        *lflag = 1.0f;
    else
        keyr("line", lflag, 1.0f);
}

void keyrline(char* rtype, int rtypelen, float* rstart, float* rwidth)
{
    bool velocity = lineType("ref", rtype, rtypelen);
    float one = velocity ? 0.0f : 1.0f;
    keyr("ref", rstart, one);
    keyr("ref", rwidth, one);
}

}  // extern "C"
