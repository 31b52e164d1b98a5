// Colour mapping of values for the view and the pictures: a perceptually uniform map (dark
// blue-violet through teal and green to yellow, lightness rising evenly) as a table of 256 colours.
#pragma once

#include <cstdint>

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

constexpr int kColourMapSize = 256;
// The map, the colour of the lowest value first.
extern const Rgb kColourMap[kColourMapSize];
// The colour of flagged data when it is shown: a red that the map never takes.
constexpr Rgb kFlagColour = {255, 0, 0};

// Maps values on the range lo .. hi onto the map: the range is cut into kColourMapSize equal
// steps, the lowest step taking the first colour; values below lo take the first colour, values
// from hi on the last, NaN the first. A range without width (or not finite) gives every value the
// middle colour.
class ColourScale {
public:
    ColourScale(double lo, double hi);
    int index(double v) const;
    Rgb colour(double v) const { return kColourMap[index(v)]; }

private:
    double lo_, stepsPerUnit_;
};
