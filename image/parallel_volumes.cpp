#include "image/parallel_volumes.h"

#include <atomic>

namespace ondrift {

namespace {

std::atomic<unsigned> requestedThreads{0};

}  // namespace

void setVolumeThreads(unsigned threads) { requestedThreads = threads; }

unsigned volumeThreads() {
    const unsigned requested = requestedThreads;
    if (requested != 0) return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace ondrift
