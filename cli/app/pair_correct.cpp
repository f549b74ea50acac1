// `ondrift correct --pair`: the field estimated from the pair, written as a field map in Hz,
// and the correction started from the pixel-shift step with it, as for any field map in Hz.
#include <cstdlib>
#include <filesystem>

#include "cli/app/commands.h"
#include "cli/app/correct_command.h"
#include "cli/app/pair_fieldmap.h"
#include "cli/base/errors.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

/// The series is the pair's image itself, or a copy of it (a data set that also lists its
/// spin-echo images as runs): the same grid and volumes holding the same values.
bool sameImage(const std::string& image, const std::string& seriesPath, const NiftiImage& series) {
    std::error_code ec;
    if (fs::equivalent(image, seriesPath, ec)) return true;
    const NiftiImage header = readNiftiHeader(image);
    if (header.geometry.nt() != series.geometry.nt() ||
        !header.geometry.sameGrid(series.geometry)) {
        return false;
    }
    return readNifti(image, {}, nullptr).data == readNifti(seriesPath, {}, nullptr).data;
}

}  // namespace

PairField preparePairField(CorrectOptions& o, const fs::path& folder, Reporter& reporter) {
    if (o.pair.size() != 2) throw InputError("--pair needs two images");
    if (!o.magnitude.empty()) throw InputError("--magnitude is not used with --pair");
    if (o.flags.from != StartStep::Unwrap) {
        throw InputError(
            "--from is not used with --pair: the correction starts from the field "
            "estimated from the pair");
    }
    o.pairSidecars.resize(2);
    const NiftiImage series = readNiftiHeader(o.epi);
    PairField field =
        estimatePairField({o.pair[0], o.pairSidecars[0]}, {o.pair[1], o.pairSidecars[1]}, reporter);
    checkPairCoversSeries(field.geometry, series.geometry, o.epi);
    const fs::path file =
        folder / (niftiStem(o.epi) + "_pairfield" + (o.outputType == "nii" ? ".nii" : ".nii.gz"));
    writePairField(field, file, reporter);
    o.phase = file.string();
    Sidecar sidecar;
    sidecar.fields = {{"Units", "Hz"}};
    o.phaseSidecar = sidecar;
    o.flags.from = StartStep::ComputePxshift;
    o.startImageIsOutput = true;
    o.fieldMapSource = field.summary;
    o.pairField = std::make_shared<const PairField>(field);
    for (const std::string& image : o.pair) {
        o.seriesIsPairImage = o.seriesIsPairImage || sameImage(image, o.epi, series);
    }
    return field;
}

namespace {

/// A folder of its own for the estimated field until the correction takes it in.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "ondrift-pair-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw ProcessingError("cannot make a temporary folder for the estimated field");
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

CorrectResult correctWithPair(CorrectOptions o, Reporter& reporter) {
    // The output folder is checked before the estimate takes its time.
    { OutputFolder check(o.out, o.overwrite, {o.pair[0], o.pair[1], o.epi}); }
    ScratchFolder scratch;
    preparePairField(o, scratch.path(), reporter);
    return correctSeries(o, reporter);
}

}  // namespace ondrift::cli
