// `ondrift correct` phase by phase, each a member function of one run: read, check, import,
// run, check the sign, export, summarise. Only cli/app/ uses it.
#ifndef ONDRIFT_CLI_APP_SERIES_CORRECTION_H
#define ONDRIFT_CLI_APP_SERIES_CORRECTION_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/app/commands.h"
#include "cli/app/correct_command.h"
#include "cli/app/correct_inputs.h"
#include "cli/app/correction_report.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/session/plugin_session.h"
#include "cli/session/result_export.h"

namespace ondrift::cli {

/// One run of `ondrift correct`, phase by phase: read, check, import, run, check the sign,
/// export, summarise. Everything is read and checked before anything is written.
class SeriesCorrection {
public:
    SeriesCorrection(const CorrectOptions& o, Reporter& reporter)
        : o_(o),
          reporter_(reporter),
          start_(reporter.elapsed()),
          phasePath_(absolutePath(o.phase)),
          magnitudePath_(absolutePath(o.magnitude)),
          epiPath_(absolutePath(o.epi)),
          anatPath_(absolutePath(o.anat)),
          out_(o.out, o.overwrite, {phasePath_, magnitudePath_, epiPath_, anatPath_}) {}

    CorrectResult run() {
        read();
        checkInputs();
        planGrids();
        import();
        runPlugin();
        if (blocks_ && !settings_.autoSign) {
            // The sign stays: the polarity check takes the series' mean from the blocks.
            exportResults();
            correctInBlocks();
            checkSign();
            writeDerivatives();
            return summarise();
        }
        if (blocks_) sumSeriesBefore();
        checkSign();
        exportResults();
        if (blocks_) correctInBlocks();
        writeDerivatives();
        return summarise();
    }

private:
    void read();
    void checkInputs();
    void planGrids();
    void import();
    void openDocuments();
    void releaseInputs();
    void runPlugin();
    void setStartParameters();
    void runStartCommand();
    void checkSign();
    void rerunWithSign(int better);
    void exportResults();
    void writeDerivatives();
    // A series corrected in blocks of volumes (block_correction.cpp)
    void readSeriesStandIn();
    struct SeriesBefore;
    void sumSeriesBefore();
    void keepSeriesBefore(const SeriesBefore& before, std::size_t nonFinite);
    void correctInBlocks();
    void undistortBlock(int document);
    nlohmann::json summary() const;
    CorrectResult summarise();

    const CorrectOptions& o_;
    Reporter& reporter_;
    const double start_;
    const std::string phasePath_, magnitudePath_, epiPath_, anatPath_;
    OutputFolder out_;

    // read
    std::vector<Input> inputs_;
    Input* phase_ = nullptr;
    Input* magnitude_ = nullptr;
    Input* epi_ = nullptr;
    Input* anat_ = nullptr;
    // check
    InputFacts facts_;
    CorrectionSettings settings_;
    bool mapping_ = false;   ///< the shift map goes through the mapping branch
    bool resample_ = false;  ///< the field map is resampled onto the functional grid
    bool lattice_ = false;   ///< mapping without an anatomical image
    float magScale_ = 1.0f;
    // import
    ReportSources sources_;
    int vmrIndex_ = -1;
    double importStart_ = 0, importSeconds_ = 0;
    // run
    std::optional<PluginSession> plugin_;
    double runSeconds_ = 0;
    // check the sign
    ShiftMaps shiftMaps_;
    Volume magnitudeEpi_;
    PolarityCheck polarity_;
    double checkSeconds_ = 0;
    // export
    std::string undistortedName_;
    ExportedResults exported_;
    std::filesystem::path corrected_;
    nlohmann::json amr_ = nlohmann::json::array();
    nlohmann::json transform_;      ///< the displacement field written beside the series
    nlohmann::json fieldMapFiles_;  ///< the field map and mask by the derivatives' names
    double exportSeconds_ = 0;
    // blocks: the chain runs on the series' first volume, then the series goes through the
    // plug-in's undistortion a block at a time; the one-document path remains for a kept
    // project (which must hold the whole series)
    bool blocks_ = false;
    int blockVolumes_ = 0;
    NiftiImage standIn_;  ///< the series' header with its first volume
    nlohmann::json seriesStatistics_;
    Volume meanAfter_;
    double blockSeconds_ = 0;
};

}  // namespace ondrift::cli

#endif
