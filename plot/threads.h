// The plotting library's long loops shared out to the cores: how many threads a job takes, and
// running its parts on them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace kestrum::plot {

// One thread for a job of `size` below `threshold`, else one a core (at most eight).
inline unsigned threadsFor(std::size_t size, std::size_t threshold)
{
    return size < threshold ? 1u : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

// Runs work(k) for each k < parts, k = 0 on the calling thread and the others on threads of
// their own, and waits for them all.
template <typename F>
void onThreads(unsigned parts, F work)
{
    std::vector<std::thread> threads;
    for (unsigned k = 1; k < parts; ++k)
        threads.emplace_back(work, k);
    work(0u);
    for (std::thread& t : threads)
        t.join();
}

}  // namespace kestrum::plot
