// Text helpers for blank-padded fixed-length fields.
#include "dataset/text.h"

#include <algorithm>
#include <cstring>

extern "C" {

char* zterm(const char* text, int length)
{
    static char ring[2048];
    static int next = 0;
    int n = static_cast<int>(strnlen(text, static_cast<size_t>(std::max(length, 0))));
    while (n > 0 && text[n - 1] == ' ')
        --n;
    n = std::min(n, static_cast<int>(sizeof ring) - 1);
    if (next + n + 1 > static_cast<int>(sizeof ring))
        next = 0;
    char* out = ring + next;
    std::memcpy(out, text, static_cast<size_t>(n));
    out[n] = 0;
    next += n + 1;
    return out;
}

void pad(char* text, int length)
{
    int n = static_cast<int>(std::strlen(text));
    while (n < length)
        text[n++] = ' ';
}

}  // extern "C"
