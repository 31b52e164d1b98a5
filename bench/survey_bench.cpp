// The survey of every baseline against the viewer's load of the same data set, in one child
// process: CPU seconds of each and their ratio, the same for the seconds a user waits (the survey
// runs on every core), and the peak resident memory after the survey against the peak after the
// load.
//
// The data set is simulated once per run: 16 antennas (120 baselines), 4 polarisations, 1024
// channels and enough integrations for about KESTRUM_BENCH_SURVEY_MB megabytes (default 1100)
// of "visdata"; the survey and the load take stokes=xx. Aims: survey_vs_load <= 0.5 and
// peak_vs_load <= 1.1.
#include "bench/cputime.h"
#include "bench/load.h"
#include "bench/simset.h"
#include "model/observation.h"
#include "model/survey.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

const SimulatedSet& surveySet()
{
    static const std::unique_ptr<SimulatedSet> set = simulateSet("survey.uv", 16, "KESTRUM_BENCH_SURVEY_MB");
    return *set;
}

struct Measured {
    double loadSeconds = 0.0, surveySeconds = 0.0, loadWall = 0.0, surveyWall = 0.0;
    long loadRssKiB = 0, surveyRssKiB = 0;
    long baselines = -1;
};

// Loads and surveys in a child process, so that its peak memory is its own.
Measured loadAndSurveyInChild(const std::string& vis)
{
    Measured m;
    runInChild(m, [&](int fd) {
        Measured c;
        KrellParams params = viewerParams(vis, "xx");
        double t0 = cpuSeconds(), w0 = wallSeconds();
        Observation obs(params, false);
        const bool ok = obs.getObsParams() && obs.read();
        c.loadSeconds = cpuSeconds() - t0;
        c.loadWall = wallSeconds() - w0;
        c.loadRssKiB = peakRssKiB();
        t0 = cpuSeconds();
        w0 = wallSeconds();
        const Survey result = survey(obs, SurveyThresholds{});
        c.surveySeconds = cpuSeconds() - t0;
        c.surveyWall = wallSeconds() - w0;
        c.surveyRssKiB = peakRssKiB();
        c.baselines = ok ? static_cast<long>(result.baselines.size()) : -1;
        sendToParent(fd, c);
    });
    return m;
}

void BM_SurveyAgainstLoad(benchmark::State& state)
{
    const SimulatedSet& set = surveySet();
    Measured sum, last;
    for (auto _ : state) {
        last = loadAndSurveyInChild(set.vis);
        sum.loadSeconds += last.loadSeconds;
        sum.surveySeconds += last.surveySeconds;
        sum.loadWall += last.loadWall;
        sum.surveyWall += last.surveyWall;
        state.SetIterationTime(last.surveySeconds);
    }
    if (last.baselines != 120) {
        state.SkipWithError("the load or the survey failed");
        return;
    }
    state.counters["visdata_MB"] = set.visdataBytes / 1e6;
    state.counters["load_cpu_s"] = sum.loadSeconds / static_cast<double>(state.iterations());
    state.counters["survey_cpu_s"] = sum.surveySeconds / static_cast<double>(state.iterations());
    state.counters["survey_vs_load"] = sum.surveySeconds / sum.loadSeconds;
    state.counters["load_wall_s"] = sum.loadWall / static_cast<double>(state.iterations());
    state.counters["survey_wall_s"] = sum.surveyWall / static_cast<double>(state.iterations());
    state.counters["survey_vs_load_wall"] = sum.surveyWall / sum.loadWall;
    state.counters["load_peak_MiB"] = last.loadRssKiB / 1024.0;
    state.counters["survey_peak_MiB"] = last.surveyRssKiB / 1024.0;
    state.counters["peak_vs_load"] = static_cast<double>(last.surveyRssKiB) / static_cast<double>(last.loadRssKiB);
}

BENCHMARK(BM_SurveyAgainstLoad)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace
