// The records of one source name, grouped by baseline: indices into the observation's
// record vector, filed under the record's baseline number truncated to an integer.
#pragma once

#include "model/baseline.h"
#include "model/visibility.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class Source {
public:
    Source(const char* name, std::vector<Visibility>* allVis);

    // Files record `index` of allVis under its baseline, creating the Baseline (with
    // `nchan` channels and reference channel `goodch`) when the number is new.
    void add(int index, unsigned nchan, unsigned goodch);

    std::vector<Visibility>* allVis;  // not owned
    std::string name;
    std::map<int32_t, Baseline> baselines;
};

// Files record `index` of `allVis` into `baselines`: the key is the record's baseline number
// truncated toward zero. The loader checks the number's range before filing.
void fileByBaseline(std::map<int32_t, Baseline>& baselines, std::vector<Visibility>* allVis, int index, unsigned nchan,
                    unsigned goodch);
