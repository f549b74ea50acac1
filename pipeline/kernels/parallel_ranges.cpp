#include "pipeline/kernels/parallel_ranges.h"

#include <atomic>

namespace ondrift {

namespace {

std::atomic<unsigned> requestedThreads{0};

}  // namespace

void setWorkerThreads(unsigned threads) { requestedThreads = threads; }

unsigned workerThreads() {
    const unsigned requested = requestedThreads;
    if (requested != 0) return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace ondrift
