// The report's section on a field estimated from a reverse phase-encoding pair: the two images as
// taken and as brought back through the estimated field, and how well they agree before and
// after, as a figure.
#ifndef ONDRIFT_CLI_REPORT_PAIR_SECTION_H
#define ONDRIFT_CLI_REPORT_PAIR_SECTION_H

#include <string>

#include <nlohmann/json.hpp>

#include "cli/report/volume.h"

namespace ondrift::cli {

struct PairPictures {
    Volume plusBefore;  ///< the image along the positive direction, as taken
    Volume minusBefore;
    Volume plusAfter;  ///< brought back through the estimated field
    Volume minusAfter;
};

/// `source`: what ondrift.json records under "fieldMapSource" (null: no section). Pictures that
/// are empty are left out; the figures come from `source`.
std::string pairSection(const nlohmann::json& source, const PairPictures& pictures);

}  // namespace ondrift::cli

#endif
