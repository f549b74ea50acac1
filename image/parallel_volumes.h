// The volumes of a series shared out among threads. Every volume is read and written by one
// thread only and nothing is summed across volumes, so the result is the plain loop's whatever
// the number of threads.
#ifndef ONDRIFT_IMAGE_PARALLEL_VOLUMES_H
#define ONDRIFT_IMAGE_PARALLEL_VOLUMES_H

#include <algorithm>
#include <cstddef>
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
/// worker, on `workers` threads (the calling thread takes the first range).
template <typename Work>
void forEachVolumeRange(int volumes, unsigned workers, Work&& work) {
    if (volumes <= 0) return;
    const unsigned n = std::clamp<unsigned>(workers, 1, static_cast<unsigned>(volumes));
    auto range = [&](unsigned w) {
        const int first = static_cast<int>(static_cast<long long>(volumes) * w / n);
        const int end = static_cast<int>(static_cast<long long>(volumes) * (w + 1) / n);
        work(w, first, end);
    };
    std::vector<std::thread> threads;
    threads.reserve(n - 1);
    for (unsigned w = 1; w < n; ++w) threads.emplace_back(range, w);
    range(0);
    for (auto& t : threads) t.join();
}

}  // namespace ondrift

#endif
