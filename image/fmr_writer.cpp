#include "image/fmr_writer.h"

#include <cmath>
#include <memory>
#include <vector>

#include "binding/host_api.h"
#include "binding/log.h"
#include "image/helper_tools.h"
#include "image/parallel_volumes.h"

namespace ondrift {
namespace {

constexpr double kInt16RescaleLimit = 16384.0;

/// Voxels per volume of the document, or -1 when its header names negative extents.
std::int64_t documentVoxelsPerVolume(const FMRHeader& h) {
    if (h.columns < 0 || h.rows < 0 || h.slices < 0) return -1;
    return std::int64_t{h.columns} * h.rows * h.slices;
}

/// False (and logged) when the values would not fit the document's arrays: writing them would
/// run past memory the host owns.
bool fitsDocument(const Image& image, const FMRHeader& h) {
    const std::int64_t perVolume = documentVoxelsPerVolume(h);
    const auto imagePerVolume = static_cast<std::int64_t>(image.voxelsPerVolume());
    const std::int64_t volumes = image.getNrOfVolumes();
    if (perVolume >= 0 && imagePerVolume <= perVolume && volumes <= h.nrOfVolumes &&
        image.bufferSize() >= static_cast<std::size_t>(image.getNrOfVoxels())) {
        return true;
    }
    logFormat(
        "The image (%lld voxels per volume, %lld volumes) does not fit the current FMR "
        "(%lld voxels per volume, %d volumes). New data could not be saved in FMR.",
        static_cast<long long>(imagePerVolume), static_cast<long long>(volumes),
        static_cast<long long>(perVolume < 0 ? 0 : perVolume), h.nrOfVolumes);
    return false;
}

template <typename T, typename Convert>
void storeVolumes(T** volumes, const Image& image, const double* values, Convert convert) {
    const std::size_t perVolume = image.voxelsPerVolume();
    const std::int32_t count = image.getNrOfVolumes();
    forEachVolumeRange(count, volumeWorkers(count, perVolume), [&](unsigned, int first, int end) {
        for (int v = first; v < end; ++v) {
            T* out = volumes[v];
            const double* in = values + static_cast<std::size_t>(v) * perVolume;
            for (std::size_t i = 0; i < perVolume; ++i) out[i] = convert(in[i]);
        }
    });
}

template <typename T>
bool everyVolumePresent(T** volumes, const Image& image) {
    if (image.getNrOfVolumes() == 0 || image.voxelsPerVolume() == 0) return true;
    if (volumes == nullptr) return false;
    for (std::int32_t v = 0; v < image.getNrOfVolumes(); ++v) {
        if (volumes[v] == nullptr) return false;
    }
    return true;
}

}  // namespace

std::int16_t fmrInt16Value(double value) {
    // Wrapping to the low 16 bits would turn 40000 into a negative value, and converting an
    // out-of-range double to an integer is undefined: clamp instead.
    if (std::isnan(value)) return 0;
    const double truncated = std::trunc(value);
    if (truncated <= -32768.0) return -32768;
    if (truncated >= 32767.0) return 32767;
    return static_cast<std::int16_t>(truncated);
}

bool saveAsFMR(const Image& image, const std::string& fileName) {
    const helperTools tools;
    auto header = std::make_unique<FMRHeader>();
    if (host::getHeaderOfCurrentFMR(header.get()) < 1) {
        host::messageBox("No FMR available in current workspace");
        return false;
    }
    const std::int32_t dataType = header->dataType;
    const bool known = dataType == kFmrInt16 || dataType == kFmrFloat32;
    if (known && !fitsDocument(image, *header)) return false;

    // 16-bit documents cannot hold large values: such images go in as a copy mapped onto
    // 0…16384. The container itself is left as it is.
    const double* values = image.getData();
    std::vector<double> rescaled;
    if (dataType == kFmrInt16 && static_cast<double>(image.getMaximum()) > kInt16RescaleLimit) {
        logText("Rescaling between 0 and 16384...");
        rescaled.assign(static_cast<std::size_t>(image.getNrOfVoxels()), 0.0);
        image.rescaleInto(rescaled.data(), 0.0, kInt16RescaleLimit);
        values = rescaled.data();
    }

    // The saved project must not point at the AMR file of the document it was made from.
    header->amrFileName[0] = '\0';
    host::setHeaderOfCurrentFMR(header.get());

    if (dataType == kFmrInt16) {
        short** data = host::getSTCIntDataOfCurrentFMR();
        if (!everyVolumePresent(data, image)) {
            logText("Error while retrieving FMR data");
            return false;
        }
        storeVolumes(data, image, values, [](double v) { return fmrInt16Value(v); });
        const std::string stcName = tools.stripExtension(fileName);
        const int written = host::saveFMRAndSTC(fileName.c_str(), stcName.c_str());
        host::updateActiveWindow();
        return written > 0;
    }
    if (dataType == kFmrFloat32) {
        float** data = host::getSTCFloatDataOfCurrentFMR();
        if (!everyVolumePresent(data, image)) {
            logText("An error occurred while writing FMR/STC data.");
            return false;
        }
        storeVolumes(data, image, values, [](double v) { return static_cast<float>(v); });
        const std::string stcName = tools.baseName(fileName, true, false);
        const int written = host::saveFMRAndSTC(fileName.c_str(), stcName.c_str());
        host::updateActiveWindow();
        return written > 0;
    }
    logText("Datatype not recognized. New data could not be saved in FMR.");
    return false;
}

}  // namespace ondrift
