// The frame benchmarks' window and data: a private X server for the whole run, the viewer's window
// opened with software GL in a child process whose result comes back as in bench/child.h, and an
// observation built in memory.
#pragma once

#include "app/kestrum.h"
#include "app/view.h"
#include "bench/child.h"
#include "plot/plot.h"
#include "tests/support/xsession.h"

#include <fcntl.h>
#include <unistd.h>

#include <complex>
#include <cstdlib>
#include <initializer_list>
#include <vector>

inline kestrum::test::XServer& server()
{
    static kestrum::test::XServer s;
    return s;
}

// In the child: sends error messages to /dev/null and opens the window on the private server;
// the child ends when the window does not open.
inline void openWindow()
{
    dup2(open("/dev/null", O_WRONLY), 2);
    setenv("DISPLAY", server().display().c_str(), 1);
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    char name[] = "kestrum_bench";
    char* argv[] = {name, nullptr};
    if (!s2opend("/S2MONO", 1, argv))
        _exit(2);
}

// Runs child(fd) in a child process when the X server is up; a default R (not ok) when no result
// came back.
template <class R, class Child>
R measureInWindow(Child child)
{
    R r;
    if (server().ok())
        runInChild(r, child);
    return r;
}

// The viewer's data set in memory: `records` records of `channels` channels, 10 s apart, on each of
// `baselines`, of noise-like amplitudes about 5 and phases that drift with channel and time; with
// flagOneIn > 0 about one channel in that many is flagged.
inline void buildObservation(int records, int channels, std::initializer_list<double> baselines, int flagOneIn = 0)
{
    pobs = new Observation(opts, false);
    pobs->nchan = channels;
    pobs->tint = 10.0;
    opts.bchan = 0;
    opts.echan = channels - 1;
    std::vector<std::complex<float>> data(channels);
    std::vector<int> flags(channels, 0);
    pobs->allVis.reserve(static_cast<size_t>(records) * baselines.size());
    unsigned seed = 1;
    for (int i = 0; i < records; ++i) {
        for (const double bl : baselines) {
            for (int c = 0; c < channels; ++c) {
                seed = seed * 1664525u + 1013904223u;
                data[c] = std::polar(5.0f + 0.001f * static_cast<float>(seed >> 22), 0.001f * c + 0.01f * i);
                flags[c] = flagOneIn > 0 && (seed >> 8) % static_cast<unsigned>(flagOneIn) == 0;
            }
            pobs->allVis.emplace_back(i, 0.0, 0.0, 2459000.5 + i * 10.0 / 86400, bl, 0.0, -5, channels, data.data(),
                                      flags.data(), false, pobs->channels);
            pobs->add("bench", static_cast<int>(pobs->allVis.size() - 1));
        }
    }
    s = pobs->sources.begin();
    b = s->second.baselines.begin();
    updateStatistics();
}
