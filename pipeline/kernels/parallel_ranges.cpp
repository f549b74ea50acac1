#include "pipeline/kernels/parallel_ranges.h"

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

namespace ondrift {

namespace {

std::atomic<unsigned> requestedThreads{0};

thread_local KernelThreads* keptHere = nullptr;
thread_local bool rangesHere = false;

}  // namespace

RangesOnThisThread::RangesOnThisThread() : previous_(rangesHere) { rangesHere = true; }

RangesOnThisThread::~RangesOnThisThread() { rangesHere = previous_; }

bool RangesOnThisThread::active() { return rangesHere; }

KernelThreads::KernelThreads(unsigned threads)
    : most_(threads > 1 ? threads - 1 : 0), previous_(keptHere) {
    keptHere = this;
}

KernelThreads::~KernelThreads() {
    keptHere = previous_;
    stop_ = true;
    for (const std::unique_ptr<Worker>& w : workers_) w->go.release();
    for (const std::unique_ptr<Worker>& w : workers_) w->thread.join();
}

KernelThreads* KernelThreads::current() { return keptHere; }

bool KernelThreads::run(unsigned ranges, void (*call)(void*, unsigned), void* context) {
    if (busy_ || ranges < 2 || ranges - 1 > most_) return false;
    try {
        while (workers_.size() < ranges - 1) {
            auto worker = std::make_unique<Worker>();
            const auto index = static_cast<unsigned>(workers_.size()) + 1;
            workers_.reserve(workers_.size() + 1);  // so that the thread is never left unowned
            worker->thread = std::thread(&KernelThreads::serve, this, std::ref(*worker), index);
            workers_.push_back(std::move(worker));
        }
    } catch (const std::exception&) {
        return false;  // forEachRange starts threads of its own
    }
    busy_ = true;
    call_ = call;
    context_ = context;
    pending_.store(ranges - 1, std::memory_order_relaxed);
    for (unsigned w = 1; w < ranges; ++w) workers_[w - 1]->go.release();
    call(context, 0);
    finished_.acquire();
    busy_ = false;
    return true;
}

void KernelThreads::serve(Worker& worker, unsigned index) {
    for (;;) {
        worker.go.acquire();
        if (stop_) return;
        call_(context_, index);
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) finished_.release();
    }
}

void setWorkerThreads(unsigned threads) { requestedThreads = threads; }

unsigned workerThreads() {
    const unsigned requested = requestedThreads;
    if (requested != 0) return requested;
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace ondrift
