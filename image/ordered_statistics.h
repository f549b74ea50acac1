// The statistics text of a series, computed on a thread of its own while other threads work on
// the same series: volumes are summed strictly in buffer order as they become ready, so the
// text is the one of a single pass, and writers can wait until a volume has been read before
// overwriting it.
#ifndef ONDRIFT_IMAGE_ORDERED_STATISTICS_H
#define ONDRIFT_IMAGE_ORDERED_STATISTICS_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "image/datahandler.h"

namespace ondrift {

class OrderedStatistics {
public:
    /// Starts summing `volumes` volumes of `perVolume` values at `values`. With `allReady` every
    /// volume may be read at once; otherwise each waits for markReady.
    OrderedStatistics(const double* values, std::size_t perVolume, int volumes, bool allReady);
    /// Waits for the sums (a text not asked for is still finished: the values stay read-only
    /// until then).
    ~OrderedStatistics();
    OrderedStatistics(const OrderedStatistics&) = delete;
    OrderedStatistics& operator=(const OrderedStatistics&) = delete;

    /// Volume `volume` holds its final values and may be read.
    void markReady(int volume);
    /// Returns once volume `volume` has been read: it may be overwritten from then on.
    void waitUntilRead(int volume) const;
    /// The statistics text over all volumes (waits for the last one).
    std::string text(const char* label);

private:
    void run();

    const double* values_;
    std::size_t perVolume_;
    int volumes_;
    std::unique_ptr<std::atomic<unsigned char>[]> ready_;
    std::atomic<int> read_{0};
    RunningStatistics sums_;
    std::thread thread_;
};

}  // namespace ondrift

#endif
