// The picture sections of the report, each an HTML fragment with its pictures embedded.
#ifndef ONDRIFT_CLI_REPORT_REPORT_FIGURES_H
#define ONDRIFT_CLI_REPORT_REPORT_FIGURES_H

#include <string>

#include "cli/report/polarity_check.h"
#include "cli/report/shift_figures.h"
#include "cli/report/volume.h"

namespace ondrift::cli {

/// Everything the pictures are made from; any of the volumes may be empty (not available).
struct ReportImages {
    Volume magnitude;       ///< field map grid
    Volume fieldHz;         ///< field map grid
    Volume meanBefore;      ///< functional grid
    Volume meanAfter;       ///< functional grid
    Volume shift;           ///< functional grid, voxels
    Volume magnitudeOnEpi;  ///< the magnitude resampled to the functional grid
    int direction = 0;      ///< the phase-encoding direction code the correction used

    /// Worked out once for all pictures (`prepare`): the head mask of `meanBefore`, its grey
    /// window and the outline levels of `magnitudeOnEpi`.
    std::vector<unsigned char> head;
    float top = 1;
    std::vector<float> levels;
    void prepare();
};

std::string fieldMapSection(const ReportImages& images);
std::string beforeAfterSection(const ReportImages& images);
std::string shiftSection(const ReportImages& images, const ShiftFigures& figures);
std::string polaritySection(const ReportImages& images, const PolarityCheck& check);

/// Text safe inside HTML.
std::string escapeHtml(const std::string& text);

}  // namespace ondrift::cli

#endif
