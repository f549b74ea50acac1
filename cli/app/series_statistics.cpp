#include "cli/app/series_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ondrift::cli {

namespace {

using Floats4 = float __attribute__((vector_size(16)));
using Doubles4 = double __attribute__((vector_size(32)));

// The stretch valueStatistics sums on its own.
constexpr std::size_t kStretch = std::size_t{1} << 20;

}  // namespace

void StreamedValueStatistics::fold(Partial& all, const Partial& part) {
    all.lo = std::min(all.lo, part.lo);
    all.hi = std::max(all.hi, part.hi);
    all.sum += part.sum;
    all.finite += part.finite;
}

void StreamedValueStatistics::add(std::span<const float> values) {
    for (float v : values) {
        if (std::isfinite(v)) {
            current_.lo = std::min<double>(current_.lo, v);
            current_.hi = std::max<double>(current_.hi, v);
            current_.sum += v;
            ++current_.finite;
        }
        if (++inCurrent_ == kStretch) {
            fold(all_, current_);
            current_ = {};
            inCurrent_ = 0;
        }
    }
    count_ += values.size();
}

nlohmann::json StreamedValueStatistics::toJson() const {
    Partial all = all_;
    if (inCurrent_ > 0) fold(all, current_);
    if (all.finite == 0) return {{"minimum", nullptr}, {"maximum", nullptr}, {"mean", nullptr}};
    return {{"minimum", all.lo},
            {"maximum", all.hi},
            {"mean", all.sum / static_cast<double>(all.finite)},
            {"nonFinite", count_ - all.finite}};
}

void PluginStatisticsText::add(std::span<const float> values) {
    for (float f : values) {
        const double v = f;
        if (v < minimum_) minimum_ = v;
        if (v > maximum_) maximum_ = v;
        sum_ += v;
    }
    count_ += values.size();
}

void addToBoth(std::span<const float> values, StreamedValueStatistics& statistics,
               PluginStatisticsText& text) {
    StreamedValueStatistics& s = statistics;
    double minimum = text.minimum_, maximum = text.maximum_, sum = text.sum_;
    for (std::size_t i = 0; i < values.size();) {
        const std::size_t n = std::min(values.size() - i, kStretch - s.inCurrent_);
        StreamedValueStatistics::Partial p = s.current_;
        for (const float f : values.subspan(i, n)) {
            const double v = f;
            if (std::isfinite(f)) {
                p.lo = std::min(p.lo, v);
                p.hi = std::max(p.hi, v);
                p.sum += v;
                ++p.finite;
            }
            if (v < minimum) minimum = v;
            if (v > maximum) maximum = v;
            sum += v;
        }
        s.current_ = p;
        s.inCurrent_ += n;
        i += n;
        if (s.inCurrent_ == kStretch) {
            StreamedValueStatistics::fold(s.all_, s.current_);
            s.current_ = {};
            s.inCurrent_ = 0;
        }
    }
    s.count_ += values.size();
    text.minimum_ = minimum;
    text.maximum_ = maximum;
    text.sum_ = sum;
    text.count_ += values.size();
}

std::string PluginStatisticsText::text(const char* label) const {
    const double mean = sum_ / static_cast<double>(count_);
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "Values of %s:\n\tMaximum: %lf\n\tMinimum: %lf\n\tRange: %lf\n\tMean: %lf", label,
                  maximum_, minimum_, maximum_ + std::fabs(minimum_), mean);
    return buffer;
}

void VolumeMeanSum::add(std::span<const float> volumes) {
    const std::size_t n = sum_.size();
    if (n == 0) return;
    const std::size_t count = volumes.size() / n;
    double* sum = sum_.data();
    const float* v = volumes.data();
    // Four voxels a step in vector registers, each taking all the block's volumes in order
    // before it is stored: the sums are read and written once a block rather than once a
    // volume, and every voxel's sum still goes over the volumes in order, one double
    // addition each, as meanOfVolumes adds them.
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        Doubles4 d;
        std::memcpy(&d, sum + i, sizeof d);
        for (std::size_t t = 0; t < count; ++t) {
            Floats4 f;
            std::memcpy(&f, v + t * n + i, sizeof f);
            d += __builtin_convertvector(f, Doubles4);
        }
        std::memcpy(sum + i, &d, sizeof d);
    }
    for (; i < n; ++i) {
        for (std::size_t t = 0; t < count; ++t) sum[i] += v[t * n + i];
    }
    volumes_ += count;
}

std::vector<float> VolumeMeanSum::mean() const {
    if (volumes_ == 0) return {};
    std::vector<float> mean(sum_.size());
    for (std::size_t i = 0; i < sum_.size(); ++i) {
        mean[i] = static_cast<float>(sum_[i] / static_cast<double>(volumes_));
    }
    return mean;
}

}  // namespace ondrift::cli
