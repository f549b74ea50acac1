#include "image/ordered_statistics.h"

namespace ondrift {

OrderedStatistics::OrderedStatistics(const double* values, std::size_t perVolume, int volumes,
                                     bool allReady)
    : values_(values),
      perVolume_(perVolume),
      volumes_(volumes > 0 ? volumes : 0),
      ready_(new std::atomic<unsigned char>[static_cast<std::size_t>(volumes_)]) {
    for (int v = 0; v < volumes_; ++v) ready_[static_cast<std::size_t>(v)] = allReady ? 1 : 0;
    thread_ = std::thread([this] { run(); });
}

OrderedStatistics::~OrderedStatistics() {
    if (thread_.joinable()) {
        // Volumes never marked ready would keep the thread waiting; they count as they are.
        for (int v = 0; v < volumes_; ++v) markReady(v);
        thread_.join();
    }
}

void OrderedStatistics::run() {
    for (int v = 0; v < volumes_; ++v) {
        std::atomic<unsigned char>& ready = ready_[static_cast<std::size_t>(v)];
        while (ready.load(std::memory_order_acquire) == 0) ready.wait(0);
        sums_.add(values_ + static_cast<std::size_t>(v) * perVolume_, perVolume_);
        read_.store(v + 1, std::memory_order_release);
        read_.notify_all();
    }
}

void OrderedStatistics::markReady(int volume) {
    if (volume < 0 || volume >= volumes_) return;
    std::atomic<unsigned char>& ready = ready_[static_cast<std::size_t>(volume)];
    ready.store(1, std::memory_order_release);
    ready.notify_all();
}

void OrderedStatistics::waitUntilRead(int volume) const {
    int read = read_.load(std::memory_order_acquire);
    while (read <= volume && read < volumes_) {
        read_.wait(read);
        read = read_.load(std::memory_order_acquire);
    }
}

std::string OrderedStatistics::text(const char* label) {
    if (thread_.joinable()) thread_.join();
    return sums_.text(label, perVolume_ * static_cast<std::size_t>(volumes_));
}

}  // namespace ondrift
