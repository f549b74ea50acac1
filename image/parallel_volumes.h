// The volumes of a series shared out among threads. Every volume is read and written by one
// thread only and nothing is summed across volumes, so the result is the plain loop's whatever
// the number of threads.
#ifndef ONDRIFT_IMAGE_PARALLEL_VOLUMES_H
#define ONDRIFT_IMAGE_PARALLEL_VOLUMES_H

#include <cstddef>
#include <utility>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

/// Threads used for volume work (and every other work shared out by range); 0 (the default)
/// means one per core. Tests set 1 to get the plain loop as the reference.
inline void setVolumeThreads(unsigned threads) { setWorkerThreads(threads); }
inline unsigned volumeThreads() { return workerThreads(); }

/// How many threads `forEachVolumeRange` uses for `volumes` volumes of `voxelsPerVolume`
/// voxels: one for small series, where starting threads costs more than it saves.
inline unsigned volumeWorkers(int volumes, std::size_t voxelsPerVolume) {
    return rangeWorkers(volumes, voxelsPerVolume);
}

/// Calls work(worker, first, end) for consecutive ranges of volumes [first, end), one range per
/// worker, on `workers` threads (the calling thread takes the first range).
template <typename Work>
void forEachVolumeRange(int volumes, unsigned workers, Work&& work) {
    forEachRange(volumes, workers, [&](unsigned w, long long first, long long end) {
        work(w, static_cast<int>(first), static_cast<int>(end));
    });
}

}  // namespace ondrift

#endif
