#include "image/amr_writer.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "binding/log.h"
#include "image/amr_pixels.h"
#include "image/helper_tools.h"

namespace ondrift {
namespace {

constexpr const char* kWriteError = "Error while writing AMR file";
constexpr std::size_t kMaxAmrSlices = std::numeric_limits<std::uint16_t>::max();

/// True when the container holds every value of its first volume.
bool holdsFirstVolume(const Image& image) {
    const std::size_t n = image.voxelsPerVolume();
    return n == 0 || (image.hasData() && image.bufferSize() >= n);
}

bool writeSlices(std::ofstream& out, const AMRImage& amr) {
    const std::uint8_t count[2] = {static_cast<std::uint8_t>(amr.nrOfSlices & 0xFFu),
                                   static_cast<std::uint8_t>(amr.nrOfSlices >> 8)};
    out.write(reinterpret_cast<const char*>(count), sizeof count);
    const auto header = bmpHeaderBytes();
    const auto palette = greyPaletteBytes();
    for (const AMRSlice& slice : amr.slices) {
        out.write(reinterpret_cast<const char*>(header.data()), header.size());
        out.write(reinterpret_cast<const char*>(palette.data()), palette.size());
        out.write(reinterpret_cast<const char*>(slice.pixels.data()), slice.pixels.size());
    }
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

AMRImage buildAMR(const Image& image, const std::string& suffix) {
    const helperTools tools;
    AMRImage amr;

    Image firstVolume;
    image.copyHeaderTo(firstVolume);
    firstVolume.setNrOfVolumes(1);
    amr.name = tools.addSuffix(firstVolume.getName(), suffix);

    const std::size_t dimZ = static_cast<std::size_t>(image.getDimZ());
    if (dimZ > kMaxAmrSlices) return amr;  // the 2-byte count cannot say it; saveAsAMR refuses

    // A container that does not hold its first volume gives black slices rather than a read
    // past its buffer.
    std::vector<double> values(image.voxelsPerVolume(), 0.0);
    if (holdsFirstVolume(image) && !values.empty()) image.getVolume(0, values.data());

    // Non-finite values must not widen or poison the range of the others: as NaN they are
    // skipped by the extremes and end as level 0. An all-zero image has no range at all; every
    // value then becomes NaN and the slices black.
    for (double& v : values) {
        if (!std::isfinite(v)) v = std::numeric_limits<double>::quiet_NaN();
    }
    Image::rescaleToRange(values.data(), values.size(), 0.0, 255.0);

    const int w = image.getDimX();
    const int h = image.getDimY();
    const std::size_t sliceValues =
        static_cast<std::size_t>(image.getDimX()) * static_cast<std::size_t>(image.getDimY());
    const AmrPlacement placement = amrPlacement(w, h);
    std::vector<std::uint8_t> levels(placement == AmrPlacement::TooLarge ? 0 : sliceValues);
    std::vector<std::uint8_t> ramped(kAmrSlicePixels);

    amr.nrOfSlices = static_cast<std::uint16_t>(dimZ);
    amr.slices.resize(dimZ);
    for (std::size_t z = 0; z < dimZ; ++z) {
        if (placement == AmrPlacement::TooLarge) {
            // The slice stays black so that the file still holds every slice in its place.
            logText("Save to AMR not available for image matrix larger than 256.");
            continue;
        }
        amrLevels(std::span<const double>(values.data() + z * sliceValues, sliceValues), levels);
        composeAmrSlice(levels, w, h, ramped, amr.slices[z].pixels);
    }
    return amr;
}

bool writeAMR(const AMRImage& amr) {
    if (amr.slices.size() != amr.nrOfSlices) {
        logText(kWriteError);
        return false;
    }
    const helperTools tools;
    const std::filesystem::path target = tools.replaceExtension(amr.name, ".amr");
    // Written under a temporary name and renamed into place, so that an interrupted or failed
    // write never leaves a truncated AMR file under the real name.
    std::filesystem::path partial = target;
    partial += ".partial";

    bool ok = false;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        ok = out.is_open() && writeSlices(out, amr);
        out.close();
        ok = ok && !out.fail();
    }
    std::error_code error;
    if (ok) {
        std::filesystem::rename(partial, target, error);
#if defined(_WIN32)
        // Some Windows runtimes refuse to rename onto an existing file; the new file is complete
        // at this point, so the old one can go first.
        if (error) {
            std::error_code ignored;
            std::filesystem::remove(target, ignored);
            std::filesystem::rename(partial, target, error);
        }
#endif
        ok = !error;
    }
    if (!ok) {
        std::filesystem::remove(partial, error);
        logText(kWriteError);
        return false;
    }
    return true;
}

bool saveAsAMR(const Image& image, const std::string& suffix) {
    if (static_cast<std::size_t>(image.getDimZ()) > kMaxAmrSlices || !holdsFirstVolume(image)) {
        logText(kWriteError);
        return false;
    }
    return writeAMR(buildAMR(image, suffix));
}

}  // namespace ondrift
