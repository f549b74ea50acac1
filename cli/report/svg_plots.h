// Hand-drawn SVG plots of the report: a histogram with percentile marks and a colour bar.
#ifndef ONDRIFT_CLI_REPORT_SVG_PLOTS_H
#define ONDRIFT_CLI_REPORT_SVG_PLOTS_H

#include <span>
#include <string>
#include <vector>

namespace ondrift::cli {

struct Mark {
    double value;
    std::string label;
};

/// A histogram of the finite `values` with vertical marks; `unit` labels the axis.
std::string histogramSvg(std::span<const float> values, const std::vector<Mark>& marks,
                         const std::string& unit);

/// A horizontal colour bar of the diverging map from −limit to +limit.
std::string colourBarSvg(float limit, const std::string& unit);

/// A number with `digits` decimals ("n/a" when not finite).
std::string fixed(double value, int digits);

}  // namespace ondrift::cli

#endif
