// Filing records under their source and baseline.
#include "model/source.h"

Source::Source(const char* name, std::vector<Visibility>* allVis) : allVis(allVis), name(name) {}

void Source::add(int index, unsigned nchan, unsigned goodch)
{
    fileByBaseline(baselines, allVis, index, nchan, goodch);
}

void fileByBaseline(std::map<int32_t, Baseline>& baselines, std::vector<Visibility>* allVis, int index, unsigned nchan,
                    unsigned goodch)
{
    const auto key = static_cast<int32_t>((*allVis)[index].bl);
    auto it = baselines.find(key);
    if (it == baselines.end())
        it = baselines.emplace(key, Baseline(static_cast<double>(key), allVis, nchan, goodch)).first;
    it->second.add(index);
}
