// The run parameters of the viewer and the flagging application: typed fields, defaults,
// echoes under debug1, and warnings about whatever the application does not know.
#include "params/krellparams.h"

#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <limits>

namespace {

// The value's leading base-10 integer (blanks skipped), saturated to 32 bits; 0 when it does
// not start with one.
int32_t toInt(const std::string& text)
{
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The value's leading floating-point number (blanks skipped); 0 when it does not start with one.
double toReal(const std::string& text)
{
    return std::strtod(text.c_str(), nullptr);
}

// One less than n, without passing below the smallest 32-bit value.
int32_t minusOne(int32_t n)
{
    return n == std::numeric_limits<int32_t>::min() ? n : n - 1;
}

// Takes the option word `name` out of `options`; true when it was there.
bool takeOption(std::map<std::string, int32_t>& options, const char* name)
{
    if (options.erase(name) == 0)
        return false;
    if (Params::debug1)
        std::cout << "option: " << name << std::endl;
    return true;
}

// Takes keyword `name` out of `keywords` into `value`; false when it is absent.
bool takeKeyword(std::map<std::string, std::string>& keywords, const char* name, std::string& value)
{
    const auto it = keywords.find(name);
    if (it == keywords.end())
        return false;
    value = it->second;
    keywords.erase(it);
    return true;
}

template <typename T>
void echo(const char* name, const T& value)
{
    if (Params::debug1)
        std::cout << name << "=" << value << std::endl;
}

}  // namespace

KrellParams::KrellParams(eApp app) : app(app) {}

bool KrellParams::read(int argc, char** argv)
{
    Params::read(argc, argv);
    if (!plainArgs.empty()) {
        std::cerr << "invalid parameters specified." << std::endl;
        return false;
    }
    std::string value;
    if (!takeKeyword(keywords, "vis", value)) {
        std::cerr << "vis parameter is mandatory." << std::endl;
        return false;
    }
    vis = value;
    echo("vis", vis);

    if (app == eAppFlag && !readFlagging())
        return false;

    if (app == eAppSurvey && !readSurvey())
        return false;

    if (app == eAppView) {
        if (takeKeyword(keywords, "device", value)) {
            device = value;
            echo("device", device);
        }
        if (takeKeyword(keywords, "scale", value)) {
            scale = toReal(value);
            echo("scale", scale);
        }
    }
    if (app == eAppView || app == eAppSurvey) {
        if (takeKeyword(keywords, "bchan", value)) {
            bchan = toInt(value);
            echo("bchan", bchan);
        }
        if (takeKeyword(keywords, "echan", value)) {
            echan = toInt(value);
            echo("echan", echan);
        }
    }

    if (takeKeyword(keywords, "stokes", value)) {
        const size_t comma = value.find(',');
        if (comma == std::string::npos) {
            stokes = value;
        } else {
            stokes = value.substr(0, comma);
            stokesFlag = value.substr(comma + 1);
        }
        if (Params::debug1) {
            std::cout << "stokes [in]=" << stokes << std::endl;
            std::cout << "stokes [flag]=" << stokesFlag << std::endl;
        }
    }

    if (!options.empty()) {
        std::cout << "WARNING: Undefined options specified, the following will be ignored:" << std::endl;
        for (const auto& [word, position] : options)
            std::cout << "   " << word << std::endl;
    }
    if (!keywords.empty()) {
        std::cout << "WARNING: Undefined parameters specified, the following will be ignored:" << std::endl;
        for (const auto& [key, text] : keywords)
            std::cout << "   " << key << "=" << text << std::endl;
        std::cout << std::endl;
    }
    return true;
}

bool KrellParams::readFlagging()
{
    optShort = takeOption(options, "short");
    optRms = takeOption(options, "rms");
    optLong = takeOption(options, "long");
    optAmp = takeOption(options, "amp");
    optIgnore = takeOption(options, "ignore");
    optReplace = takeOption(options, "replace");
    optNoapply = takeOption(options, "noapply");
    if (optNoapply)
        std::cout << " Flagging will NOT be applied to data set" << std::endl;
    medtcal = takeOption(options, "medtcal");
    medsed = takeOption(options, "medsed");

    std::string value;
    if (takeKeyword(keywords, "goodch", value)) {
        goodch = minusOne(toInt(value));
        goodchGiven = true;
        echo("goodch", goodch);
    }
    if (takeKeyword(keywords, "cutoff", value)) {
        cutoff = toReal(value);
        echo("cutoff", cutoff);
    }
    if (takeKeyword(keywords, "int", value)) {
        interval = toInt(value);
        echo("int", interval);
    }
    if (takeKeyword(keywords, "thres", value)) {
        thres = toReal(value);
        echo("thres", thres);
    }
    if (takeKeyword(keywords, "gap", value)) {
        gap = toReal(value);
        echo("gap", gap);
    }
    if (takeKeyword(keywords, "rmscut", value)) {
        rmscut = toReal(value);
        echo("rmscut", rmscut);
    }
    if (takeKeyword(keywords, "test", value)) {
        if (!goodchGiven) {
            std::cerr << "goodch parameter needs to be defined in test mode" << std::endl;
            return false;
        }
        std::vector<std::string> numbers;
        split(value, ",", numbers);
        if (numbers.size() != 3) {
            std::cerr << "Invalid number of parameters associated with keyword: test" << std::endl;
            return false;
        }
        test = true;
        testAnt1 = toInt(numbers[0]);
        testAnt2 = toInt(numbers[1]);
        testChan = minusOne(toInt(numbers[2]));
    }
    return true;
}

bool KrellParams::readSurvey()
{
    std::string value;
    if (takeKeyword(keywords, "out", value))
        out = value;
    if (takeKeyword(keywords, "antennas", value))
        antennasOut = value;
    if (takeKeyword(keywords, "top", value)) {
        top = toInt(value);
        if (top < 0) {
            std::cerr << "top=" << value << " must not be negative." << std::endl;
            return false;
        }
    }
    if (takeKeyword(keywords, "png", value))
        png = value;
    // The picture keywords and the words each takes, in the order of the values they set.
    int32_t viewIndex = pngTilt ? 1 : 0, waterIndex = pngWaterfall ? 1 : 0;
    const struct {
        const char* name;
        std::initializer_list<const char*> words;
        int32_t* field;
    } choices[] = {{"view", {"home", "tilt"}, &viewIndex},
                   {"mode", {"raw", "tcal", "sed"}, &pngMode},
                   {"style", {"points", "across", "time", "hatch"}, &pngStyle},
                   {"colour", {"white", "value", "time"}, &pngColour},
                   {"waterfall", {"no", "yes"}, &waterIndex}};
    for (const auto& c : choices) {
        if (!takeKeyword(keywords, c.name, value))
            continue;
        int32_t index = 0;
        std::string known;
        for (const char* word : c.words) {
            if (value == word)
                break;
            known += std::string(known.empty() ? "" : ", ") + word;
            ++index;
        }
        if (index == static_cast<int32_t>(c.words.size())) {
            std::cerr << c.name << "=" << value << " is not one of " << known << "." << std::endl;
            return false;
        }
        *c.field = index;
    }
    pngTilt = viewIndex == 1;
    pngWaterfall = waterIndex == 1;

    // Each threshold and the lowest and highest value it may take.
    const struct {
        const char* name;
        double* field;
        double lo, hi;
    } reals[] = {{"nsigma", &nsigma, 0.0, 1e30},
                 {"chanfrac", &chanfrac, 0.0, 1.0},
                 {"intfrac", &intfrac, 0.0, 1.0},
                 {"outlimit", &outlimit, 0.0, 1.0}};
    for (const auto& r : reals) {
        if (!takeKeyword(keywords, r.name, value))
            continue;
        *r.field = toReal(value);
        echo(r.name, *r.field);
        if (!(*r.field > r.lo && *r.field <= r.hi)) {
            std::cerr << r.name << "=" << value << " must be above " << r.lo << " and at most " << r.hi << "."
                      << std::endl;
            return false;
        }
    }
    return true;
}
