// The survey of every baseline against the viewer's load of the same data set, in one child
// process: CPU seconds of each and the ratio, and the peak resident memory after the survey
// against the peak after the load.
//
// The data set is simulated once per run: 16 antennas (120 baselines), 4 polarisations, 1024
// channels and enough integrations for about KESTRUM_BENCH_SURVEY_MB megabytes (default 1100)
// of "visdata"; the survey and the load take stokes=xx. Aims: survey_vs_load <= 0.5 and
// peak_vs_load <= 1.1.
#include "bench/cputime.h"
#include "model/observation.h"
#include "model/survey.h"
#include "params/krellparams.h"
#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

struct SurveySet {
    kestrum::test::TempDir dir;
    std::string vis;
    double visdataBytes = 0.0;
};

const SurveySet& surveySet()
{
    static std::unique_ptr<SurveySet> set = [] {
        auto s = std::make_unique<SurveySet>();
        const char* mb = std::getenv("KESTRUM_BENCH_SURVEY_MB");
        const double target = (mb ? std::atof(mb) : 1100.0) * 1e6;
        kestrum::sim::ObserveConfig c;
        c.out = s->dir.file("survey.uv");
        c.nants = 16;
        c.nchan = 1024;
        c.pols = {-5, -6, -7, -8};
        c.sources = {"3c286"};
        c.scans = 1;
        c.inttime = 10.0;
        const double perIntegration = 120.0 * 4 * (c.nchan * 8.0 + 200.0);
        c.hours = std::ceil(target / perIntegration) * c.inttime / 3600.0;
        kestrum::sim::observe(c);
        s->vis = c.out;
        struct stat st;
        ::stat((c.out + "/visdata").c_str(), &st);
        s->visdataBytes = static_cast<double>(st.st_size);
        return s;
    }();
    return *set;
}

struct Measured {
    double loadSeconds = 0.0, surveySeconds = 0.0;
    long loadRssKiB = 0, surveyRssKiB = 0;
    long baselines = -1;
};

long peakRssKiB()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Loads and surveys in a child process, so that its peak memory is its own.
Measured loadAndSurveyInChild(const std::string& vis)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        Measured m;
        KrellParams params(eAppView);
        params.vis = vis;
        params.stokes = "xx";
        params.goodchGiven = true;
        params.goodch = 0;
        double t0 = cpuSeconds();
        Observation obs(params, false);
        const bool ok = obs.getObsParams() && obs.read();
        m.loadSeconds = cpuSeconds() - t0;
        m.loadRssKiB = peakRssKiB();
        t0 = cpuSeconds();
        const Survey result = survey(obs, SurveyThresholds{});
        m.surveySeconds = cpuSeconds() - t0;
        m.surveyRssKiB = peakRssKiB();
        m.baselines = ok ? static_cast<long>(result.baselines.size()) : -1;
        if (write(fds[1], &m, sizeof m) != static_cast<ssize_t>(sizeof m))
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Measured m;
    if (read(fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m))
        m.baselines = -1;
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return m;
}

void BM_SurveyAgainstLoad(benchmark::State& state)
{
    const SurveySet& set = surveySet();
    Measured sum, last;
    for (auto _ : state) {
        last = loadAndSurveyInChild(set.vis);
        sum.loadSeconds += last.loadSeconds;
        sum.surveySeconds += last.surveySeconds;
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
    state.counters["load_peak_MiB"] = last.loadRssKiB / 1024.0;
    state.counters["survey_peak_MiB"] = last.surveyRssKiB / 1024.0;
    state.counters["peak_vs_load"] = static_cast<double>(last.surveyRssKiB) / static_cast<double>(last.loadRssKiB);
}

BENCHMARK(BM_SurveyAgainstLoad)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace
