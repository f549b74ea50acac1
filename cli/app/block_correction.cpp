// `ondrift correct` on a series a block of volumes at a time, so that memory does not grow
// with the series: the chain runs once with the series' first volume standing in for it and
// keeps its shift map in the plug-in; then each block is read, undistorted by the plug-in with
// that very map and written on. Every volume is undistorted on its own, so the corrected values
// are those of a run on the whole series.
#include <algorithm>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/host_parameters.h"
#include "cli/app/series_correction.h"
#include "cli/app/series_statistics.h"
#include "cli/base/errors.h"
#include "cli/base/memory_budget.h"
#include "cli/base/output_folder.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_stream.h"
#include "cli/session/document_import.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::uint64_t memoryLimit(double mebibytes) {
    return mebibytes > 0 ? static_cast<std::uint64_t>(mebibytes * 1048576.0)
                         : defaultMemoryLimitBytes();
}

}  // namespace

// Only the header and the first volume, which stands in for the series in the chain.
void SeriesCorrection::readSeriesStandIn() {
    const double start = reporter_.elapsed();
    reporter_.step("Reading functional " + epiPath_);
    NiftiVolumeReader reader(epiPath_, ReadOptions{o_.nanToZero});
    const NiftiGeometry& g = reader.geometry();
    blockVolumes_ = blockVolumes(memoryLimit(o_.memoryLimitMb), g.voxelsPerVolume(), g.nt());
    standIn_.path = epiPath_;
    standIn_.geometry = g;
    standIn_.data.resize(g.voxelsPerVolume());
    reader.read(standIn_.data);
    Input in;
    in.role = "functional";
    in.image.path = epiPath_;
    in.image.geometry = g;
    in.image.dataTypeName = reader.dataTypeName();
    in.sidecar = o_.epiSidecar ? o_.epiSidecar : readSidecarFor(epiPath_);
    if (in.sidecar) reporter_.detail("  sidecar " + in.sidecar->path);
    in.seconds = reporter_.elapsed() - start;
    inputs_.push_back(std::move(in));
}

// The mean volume of the distorted series (for the polarity check) and the plug-in's text of
// its statistics, summed in order from the blocks as they are read.
struct SeriesCorrection::SeriesBefore {
    explicit SeriesBefore(std::size_t voxelsPerVolume) : mean(voxelsPerVolume) {}
    VolumeMeanSum mean;
    PluginStatisticsText distorted;
};

void SeriesCorrection::keepSeriesBefore(const SeriesBefore& before, std::size_t nonFinite) {
    sources_.meanBefore = meanVolume(standIn_.geometry, standIn_.data);
    sources_.meanBefore.values = before.mean.mean();
    seriesStatistics_["distorted data"] = before.distorted.text("distorted data");
    epi_->image.nonFinite = nonFinite;
    if (nonFinite > 0) {
        reporter_.warning(epiPath_ + ": replaced " + std::to_string(nonFinite) +
                          " NaN or infinite voxels with 0");
    }
}

// With --pe-dir auto the sign may turn round, so the polarity check comes before the blocks
// and needs the series' mean first: one pass of reading more.
void SeriesCorrection::sumSeriesBefore() {
    const double start = reporter_.elapsed();
    NiftiVolumeReader reader(epiPath_, ReadOptions{o_.nanToZero});
    const std::size_t n = reader.geometry().voxelsPerVolume();
    const int volumes = reader.geometry().nt();
    SeriesBefore before(n);
    std::vector<float> block(static_cast<std::size_t>(blockVolumes_) * n);
    const std::string label = "Reading " + fs::path(epiPath_).filename().string();
    for (int first = 0; first < volumes; first += blockVolumes_) {
        const int count = std::min(blockVolumes_, volumes - first);
        const std::span<float> values(block.data(), static_cast<std::size_t>(count) * n);
        reader.read(values);
        before.mean.add(values);
        before.distorted.add(values);
        reporter_.progress(label, static_cast<std::size_t>(first + count),
                           static_cast<std::size_t>(volumes));
    }
    keepSeriesBefore(before, reader.nonFinite());
    epi_->seconds += reporter_.elapsed() - start;
}

void SeriesCorrection::correctInBlocks() {
    const double start = reporter_.elapsed();
    const NiftiGeometry g = standIn_.geometry;
    const std::size_t n = g.voxelsPerVolume();
    const int volumes = g.nt();
    json* entry = nullptr;
    for (auto& output : exported_.outputs) {
        if (output["project"] == fs::path(undistortedName_).filename().string()) entry = &output;
    }
    if (entry == nullptr || corrected_.empty()) {
        throw ProcessingError("the plug-in finished without an undistorted series");
    }
    reporter_.step("Undistorting the series " + std::to_string(blockVolumes_) +
                   " volumes at a time");
    auto& ws = standin::workspace();
    // The block documents are refilled block by block, their saves written on as they come:
    // the host keeps no copy of them.
    const int firstBlockDocument = ws.size();
    ws.deferredVolumes = [previous = ws.deferredVolumes,
                          firstBlockDocument](const standin::SaveRecord& r) {
        if (r.documentIndex >= firstBlockDocument) return 0;
        return previous ? previous(r) : r.volumes;
    };
    auto& p = standin::session().parameters;
    p.setString(parameter::kProcedure, parameter::procedure::kUndistort);
    p.setInt(parameter::kKeepPixelShiftMap, 2);
    // The plug-in's statistics of a block and its slice images would be thrown away: the
    // figures of the whole series are summed here.
    p.setInt(parameter::kLeanUndistortion, 1);

    // Blocks go round three documents a block long: one read into, one undistorted, one
    // written from (the plug-in saves into the document it undistorts). The shorter last block
    // has its own. All are made before any thread uses them.
    const int blocks = (volumes + blockVolumes_ - 1) / blockVolumes_;
    const int wholeBlocks = volumes / blockVolumes_;
    std::vector<standin::FmrDocument*> ring;
    for (int i = 0; i < std::min(3, wholeBlocks); ++i) {
        ring.push_back(&ws.fmr(addSeriesBlock(g, epi_->document, blockVolumes_)));
    }
    standin::FmrDocument* lastDocument =
        wholeBlocks < blocks ? &ws.fmr(addSeriesBlock(g, epi_->document, volumes % blockVolumes_))
                             : nullptr;
    const auto documentOf = [&](int block) {
        return block < wholeBlocks ? ring[static_cast<std::size_t>(block) % ring.size()]
                                   : lastDocument;
    };
    const auto indexOf = [&ws](const standin::FmrDocument* document) {
        for (int i = ws.size() - 1; i >= 0; --i) {
            if (ws.findFmr(i) == document) return i;
        }
        return -1;
    };

    NiftiVolumeReader reader(epiPath_, ReadOptions{o_.nanToZero});
    // The corrected series replaces the stand-in's export under the same name.
    NiftiSeriesWriter writer((out_.staging() / corrected_.filename()).string(), g, volumes);
    StreamedValueStatistics statistics;
    PluginStatisticsText undistorted;
    VolumeMeanSum mean(n);
    // Without a pass of its own, the figures of the distorted series are summed here: the
    // statistics text a volume at a time while it is fresh from the reading, the mean volume a
    // block at a time.
    std::optional<SeriesBefore> before;
    if (!settings_.autoSign) before.emplace(n);
    const auto readBlock = [&reader, &before](standin::FmrDocument* document) {
        for (int t = 0; t < document->volumes(); ++t) {
            const std::span<float> volume = document->floatVolume(t);
            reader.read(volume);
            if (before) before->distorted.add(volume);
        }
        if (before) before->mean.add(std::as_const(*document).floatValues());
    };
    // The figures of the corrected block are summed while its members are compressed.
    const auto writeBlock = [&](std::span<const float> values) {
        writer.write(values, [&] {
            addToBoth(values, statistics, undistorted);
            mean.add(values);
        });
    };
    // Reading the next block and writing the last one go on while the plug-in undistorts:
    // one block ahead and one behind, each on a thread of its own and in order. A document is
    // read into only once its block three back is written. The futures are made after what
    // they use, so they are waited for before it goes.
    std::future<void> nextRead = std::async(std::launch::async, readBlock, documentOf(0));
    std::future<void> lastWrite;
    const std::string label = "Correcting " + corrected_.filename().string();
    for (int block = 0; block < blocks; ++block) {
        const int first = block * blockVolumes_;
        const int count = std::min(blockVolumes_, volumes - first);
        nextRead.get();
        if (block + 1 < blocks) {
            nextRead = std::async(std::launch::async, readBlock, documentOf(block + 1));
        }
        const int document = indexOf(documentOf(block));
        undistortBlock(document);
        const standin::SaveRecord& saved = ws.saves().back();
        const std::span<const float> values = ws.savedFloatValues(saved);
        if (saved.documentIndex != document ||
            fs::path(saved.fmrFileName).filename() != fs::path(undistortedName_).filename() ||
            values.size() != static_cast<std::size_t>(count) * n) {
            throw ProcessingError("the plug-in did not save the undistorted volumes " +
                                  std::to_string(first + 1) + " to " +
                                  std::to_string(first + count));
        }
        if (lastWrite.valid()) lastWrite.get();
        lastWrite = std::async(std::launch::async, writeBlock, values);
        reporter_.progress(label, static_cast<std::size_t>(first + count),
                           static_cast<std::size_t>(volumes));
    }
    lastWrite.get();
    if (before) keepSeriesBefore(*before, reader.nonFinite());
    writer.finish();
    (*entry)["volumes"] = volumes;
    (*entry)["statistics"] = statistics.toJson();
    meanAfter_ = meanVolume(g, standIn_.data);
    meanAfter_.values = mean.mean();
    seriesStatistics_["undistorted data"] = undistorted.text("undistorted data");
    seriesStatistics_["blockVolumes"] = blockVolumes_;
    seriesStatistics_["note"] =
        "The plug-in undistorted the series in blocks of volumes, without statistics texts "
        "of its own per block; these texts of the whole series are the command's, summed in "
        "the plug-in's order (the undistorted values as saved in single precision).";
    blockSeconds_ = reporter_.elapsed() - start;
}

void SeriesCorrection::undistortBlock(int document) {
    auto& session = standin::session();
    session.answers.clear();
    session.answers.push_back(standin::DialogAnswer::withNumber(document));
    CommandOutcome outcome;
    {
        // The plug-in writes its AMR slice images into the working directory (a scratch
        // folder: projects are not kept on this path).
        const fs::path scratch = out_.staging() / ".scratch";
        fs::create_directories(scratch);
        WorkingDirectory inFolder(scratch);
        outcome = plugin_->execute("Start");
    }
    if (!outcome.ok) {
        throw ProcessingError(
            "the plug-in reported: " + outcome.errorMessage +
            (reporter_.verbosity() == Verbosity::Verbose ? "" : " (--verbose shows its log)"));
    }
}

}  // namespace ondrift::cli
