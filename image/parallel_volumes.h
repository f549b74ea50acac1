// The volumes of a series shared out among threads. Every volume is read and written by one
// thread only and nothing is summed across volumes, so the result is the plain loop's whatever
// the number of threads.
#ifndef ONDRIFT_IMAGE_PARALLEL_VOLUMES_H
#define ONDRIFT_IMAGE_PARALLEL_VOLUMES_H

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace ondrift {

/// Threads used for volume work; 0 (the default) means one per core. Tests set 1 to get the
/// plain loop as the reference.
void setVolumeThreads(unsigned threads);
unsigned volumeThreads();

/// How many threads `forEachVolumeRange` uses for `volumes` volumes of `voxelsPerVolume`
/// voxels: one for small series, where starting threads costs more than it saves.
inline unsigned volumeWorkers(int volumes, std::size_t voxelsPerVolume) {
    constexpr std::size_t kWorthAThread = std::size_t{1} << 18;
    if (volumes <= 1 || static_cast<std::size_t>(volumes) * voxelsPerVolume < kWorthAThread) {
        return 1;
    }
    return std::clamp<unsigned>(volumeThreads(), 1, static_cast<unsigned>(volumes));
}

/// Calls work(worker, first, end) for consecutive ranges of volumes [first, end), one range per
/// worker, on `workers` threads (the calling thread takes the first range). What a range throws
/// (an allocation that fails on a large series) reaches the caller once every thread has ended,
/// as from a plain loop, instead of ending the host's process; a thread that cannot be started
/// leaves its range to the calling thread.
template <typename Work>
void forEachVolumeRange(int volumes, unsigned workers, Work&& work) {
    if (volumes <= 0) return;
    const unsigned n = std::clamp<unsigned>(workers, 1, static_cast<unsigned>(volumes));
    std::vector<std::exception_ptr> failed(n);
    auto range = [&](unsigned w) {
        const int first = static_cast<int>(static_cast<long long>(volumes) * w / n);
        const int end = static_cast<int>(static_cast<long long>(volumes) * (w + 1) / n);
        try {
            work(w, first, end);
        } catch (...) {
            failed[w] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(n - 1);
    unsigned started = 1;
    try {
        for (; started < n; ++started) threads.emplace_back(range, started);
    } catch (const std::system_error&) {
    }
    range(0);
    for (unsigned w = started; w < n; ++w) range(w);
    for (auto& t : threads) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
}

}  // namespace ondrift

#endif
