#include "pipeline/kernels/parallel_ranges.h"

#include <atomic>

namespace ondrift {

namespace {

std::atomic<unsigned> requestedThreads{0};

thread_local KernelThreads* keptHere = nullptr;

}  // namespace

KernelThreads::KernelThreads(unsigned threads) : previous_(keptHere) {
    const unsigned extra = threads > 1 ? threads - 1 : 0;
    try {
        threads_.reserve(extra);
        for (unsigned w = 1; w <= extra; ++w) threads_.emplace_back(&KernelThreads::serve, this, w);
    } catch (const std::exception&) {
        // Fewer threads: forEachRange starts its own where these do not suffice.
    }
    keptHere = this;
}

KernelThreads::~KernelThreads() {
    keptHere = previous_;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

KernelThreads* KernelThreads::current() { return keptHere; }

bool KernelThreads::run(unsigned ranges, void (*call)(void*, unsigned), void* context) {
    if (busy_ || ranges < 2 || ranges - 1 > threads_.size()) return false;
    busy_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        call_ = call;
        context_ = context;
        ranges_ = ranges;
        pending_ = static_cast<unsigned>(threads_.size());
        ++round_;
    }
    wake_.notify_all();
    call(context, 0);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this] { return pending_ == 0; });
    }
    busy_ = false;
    return true;
}

void KernelThreads::serve(unsigned worker) {
    unsigned seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || round_ != seen; });
        if (stop_) return;
        seen = round_;
        if (worker < ranges_) {
            void (*const call)(void*, unsigned) = call_;
            void* const context = context_;
            lock.unlock();
            call(context, worker);
            lock.lock();
        }
        if (--pending_ == 0) finished_.notify_one();
    }
}

void setWorkerThreads(unsigned threads) { requestedThreads = threads; }

unsigned workerThreads() {
    const unsigned requested = requestedThreads;
    if (requested != 0) return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace ondrift
