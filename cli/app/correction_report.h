// The quality report of `ondrift correct` and its polarity check, from what the plug-in saved:
// the command gathers the pieces (the inputs before their values are released, the saved
// shift maps, the corrected series) and hands them to cli/report/.
#ifndef ONDRIFT_CLI_CORRECTION_REPORT_H
#define ONDRIFT_CLI_CORRECTION_REPORT_H

#include <filesystem>
#include <string>

#include "cli/report/html_report.h"
#include "cli/report/polarity_check.h"
#include "cli/report/volume.h"

namespace ondrift::cli {

class Reporter;

/// What is taken from the inputs before their values are released.
struct ReportSources {
    Volume magnitude;       ///< field map grid, first volume as read (empty without one)
    Volume meanBefore;      ///< functional grid
    Volume startImage;      ///< field map grid: the start image (a shift map with --from Undistort)
    bool mapping = false;   ///< the shift map is carried over through the mapping branch
    bool resample = false;  ///< the field map is resampled onto the functional grid
    bool startIsShift = false;
    double bandwidthPE = 0;
};

/// The shift map on the functional grid and the field map in Hz on the field map's grid, from
/// the projects the plug-in saved in this run (empty volumes when there are none).
struct ShiftMaps {
    Volume onEpi;
    Volume fieldHz;
};
ShiftMaps savedShiftMaps(const ReportSources& sources);

/// The mean over the volumes of the project saved as `projectName` (the corrected series), on
/// `grid`; empty when it was not saved on that grid.
Volume savedMean(const std::string& projectName, const Volume& grid);

/// The magnitude on the functional grid: voxel by voxel when the shift map is applied so,
/// otherwise through the world positions.
Volume magnitudeOnEpi(const ReportSources& sources);

/// The polarity check of the correction with direction `code`; never throws.
PolarityCheck polarityOf(const ReportSources& sources, const ShiftMaps& maps,
                         const Volume& magnitudeOnEpi, int code);

/// The loud warning when the opposite sign matched clearly better (empty otherwise).
std::string polarityWarning(const PolarityCheck& check, bool autoSign);

/// Everything the page shows, with the shift figures computed (`summary` is left to the
/// caller: what ondrift.json holds).
ReportContent reportContent(const std::string& boldStem, const ReportSources& sources,
                            const ShiftMaps& maps, Volume magnitudeOnEpi, Volume meanAfter,
                            const PolarityCheck& check, int code);

/// Writes `<bold stem>_report.html` into `folder`; returns its path.
std::filesystem::path writeReport(const std::filesystem::path& folder,
                                  const ReportContent& content);

}  // namespace ondrift::cli

#endif
