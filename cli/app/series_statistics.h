// Figures of a series summed a block of volumes at a time, equal to those of the whole series
// in memory: the same values added in the same order.
#ifndef ONDRIFT_CLI_APP_SERIES_STATISTICS_H
#define ONDRIFT_CLI_APP_SERIES_STATISTICS_H

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ondrift::cli {

class PluginStatisticsText;

/// What valueStatistics gives of the whole series: its fixed stretches of values, each summed
/// in order, then the stretches summed in order.
class StreamedValueStatistics {
public:
    void add(std::span<const float> values);
    nlohmann::json toJson() const;

private:
    struct Partial {
        double lo = std::numeric_limits<double>::infinity();
        double hi = -std::numeric_limits<double>::infinity();
        double sum = 0;
        std::size_t finite = 0;
    };
    static void fold(Partial& all, const Partial& part);
    friend void addToBoth(std::span<const float>, StreamedValueStatistics&, PluginStatisticsText&);
    Partial all_, current_;
    std::size_t inCurrent_ = 0;
    std::size_t count_ = 0;
};

/// The plug-in's statistics text of a series ("Values of <label>: ..."): one running sum over
/// all voxels in buffer order, minimum and maximum starting from 0.
class PluginStatisticsText {
public:
    void add(std::span<const float> values);
    std::string text(const char* label) const;

private:
    friend void addToBoth(std::span<const float>, StreamedValueStatistics&, PluginStatisticsText&);
    double minimum_ = 0, maximum_ = 0, sum_ = 0;
    std::size_t count_ = 0;
};

/// Adds the values to both, as their own add() would, in one pass: each sum keeps its order,
/// but the two are summed side by side rather than one after the other.
void addToBoth(std::span<const float> values, StreamedValueStatistics& statistics,
               PluginStatisticsText& text);

/// The mean volume of a series as meanOfVolumes makes it: each voxel's sum in double over the
/// volumes in order.
class VolumeMeanSum {
public:
    explicit VolumeMeanSum(std::size_t voxelsPerVolume) : sum_(voxelsPerVolume, 0.0) {}
    /// Whole volumes, in order.
    void add(std::span<const float> volumes);
    std::vector<float> mean() const;

private:
    std::vector<double> sum_;
    std::size_t volumes_ = 0;
};

}  // namespace ondrift::cli

#endif
