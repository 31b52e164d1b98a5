// Generic command-line parsing into plain words, keywords and option words.
#include "params/params.h"

#include <cctype>
#include <iostream>

namespace {

std::string lowerCase(std::string text)
{
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

}  // namespace

void split(std::string text, std::string delimiters, std::vector<std::string>& pieces)
{
    size_t start = 0;
    while (true) {
        const size_t pos = text.find_first_of(delimiters, start);
        if (pos == std::string::npos) {
            if (start < text.size())
                pieces.push_back(text.substr(start));
            return;
        }
        if (pos > start)
            pieces.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

void Params::read(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const size_t eq = word.find('=');
        if (eq == std::string::npos) {
            plainArgs.push_back(word);
            continue;
        }
        const std::string key = lowerCase(word.substr(0, eq));
        const std::string value = word.substr(eq + 1);
        if (key != "options") {
            keywords[key] = value;
            continue;
        }
        std::vector<std::string> words;
        split(value, ",", words);
        for (size_t j = 0; j < words.size(); ++j)
            options[lowerCase(words[j])] = static_cast<int32_t>(j);
        if (options.erase("debug1") > 0) {
            std::cout << " First level debugging requested" << std::endl;
            debug1 = true;
        }
        if (options.erase("debug2") > 0) {
            std::cout << " Second level debugging requested" << std::endl;
            debug2 = true;
        }
    }
}
