// The stand-in host's FMR document: header, position record and STC data.
//
// The values of all volumes live in one contiguous buffer; the per-volume pointers handed to
// the plug-in point into it. The command can then write a saved series straight from the
// document, and adopt a series read from disk without copying it.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "host/workspace.h"

namespace ondrift::standin {

namespace {

constexpr std::int64_t kMaxVoxels = std::numeric_limits<std::int32_t>::max();

short toInt16(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::nearbyint(std::clamp(v, -32768.0, 32767.0));
    return static_cast<short>(r);
}

std::string describeGeometry(std::int64_t c, std::int64_t r, std::int64_t s, std::int64_t v) {
    return std::to_string(c) + " x " + std::to_string(r) + " x " + std::to_string(s) + ", " +
           std::to_string(v) + " volumes";
}

FMRHeader headerOf(const FmrSpec& description) {
    FMRHeader h{};
    copyName(h.projectFileName, sizeof h.projectFileName, description.name);
    h.nrOfVolumes = description.volumes;
    h.columns = description.columns;
    h.rows = description.rows;
    h.slices = description.slices;
    h.voxelSizeX = description.voxelSizeX;
    h.voxelSizeY = description.voxelSizeY;
    h.voxelSizeZ = description.voxelSizeZ;
    h.dataType = description.dataType;
    copyName(h.amrFileName, sizeof h.amrFileName, description.amrFileName);
    return h;
}

}  // namespace

// --- FmrDocument -----------------------------------------------------------------------------

FmrDocument::FmrDocument(const FMRHeader& h, const ScannerPositionHeader& p)
    : FmrDocument(h, p, true) {}

FmrDocument::FmrDocument(const FMRHeader& h, const ScannerPositionHeader& p, bool allocate)
    : header(h), position(p) {
    const std::int64_t c = h.columns, r = h.rows, s = h.slices, v = h.nrOfVolumes;
    if (c < 1 || r < 1 || s < 1 || v < 0) {
        throw std::invalid_argument("impossible FMR geometry " + describeGeometry(c, r, s, v));
    }
    // Checked factor by factor: each product stays below 2^62 before the comparison.
    if (c * r > kMaxVoxels || c * r * s > kMaxVoxels ||
        c * r * s * std::max<std::int64_t>(v, 1) > kMaxVoxels) {
        throw std::invalid_argument("FMR geometry " + describeGeometry(c, r, s, v) +
                                    " holds more than 2147483647 values");
    }
    columns_ = h.columns;
    rows_ = h.rows;
    slices_ = h.slices;
    volumes_ = h.nrOfVolumes;
    dataType_ = h.dataType;
    const std::size_t n = voxelsPerVolume();
    if (!allocate) return;
    if (dataType_ == kFmrInt16) {
        intData_.assign(n * static_cast<std::size_t>(volumes_), 0);
        for (int v = 0; v < volumes_; ++v)
            intPointers_.push_back(intData_.data() + n * static_cast<std::size_t>(v));
        intPointers_.push_back(nullptr);
    } else if (dataType_ == kFmrFloat32) {
        floatData_.assign(n * static_cast<std::size_t>(volumes_), 0.0f);
        pointFloatVolumes();
    }
}

FmrDocument::FmrDocument(const FmrSpec& description)
    : FmrDocument(headerOf(description), description.position) {
    if (!description.values.empty()) {
        const std::size_t expected = voxelsPerVolume() * static_cast<std::size_t>(volumes_);
        if (description.values.size() != expected) {
            throw std::invalid_argument("FMR '" + description.name + "' needs " +
                                        std::to_string(expected) + " values, got " +
                                        std::to_string(description.values.size()));
        }
        setValues(description.values);
    }
}

FmrDocument::FmrDocument(const FmrSpec& description, std::vector<float>&& floatValues)
    : FmrDocument(headerOf(description), description.position, false) {
    if (dataType_ != kFmrFloat32 ||
        floatValues.size() != voxelsPerVolume() * static_cast<std::size_t>(volumes_)) {
        throw std::invalid_argument("FMR '" + description.name +
                                    "': the values do not fit a float document of this geometry");
    }
    floatData_ = std::move(floatValues);
    pointFloatVolumes();
}

void FmrDocument::pointFloatVolumes() {
    floatPointers_.clear();
    for (int v = 0; v < volumes_; ++v) floatPointers_.push_back(floatData_.data() + offsetOf(v));
    floatPointers_.push_back(nullptr);
}

std::size_t FmrDocument::offsetOf(int volume) const {
    return voxelsPerVolume() * static_cast<std::size_t>(volume);
}

std::span<const float> FmrDocument::floatValues() const {
    if (dataType_ != kFmrFloat32) return {};
    return floatData_;
}

std::span<const short> FmrDocument::intValues() const {
    if (dataType_ != kFmrInt16) return {};
    return intData_;
}

std::size_t FmrDocument::voxelsPerVolume() const {
    return static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_) *
           static_cast<std::size_t>(slices_);
}

bool FmrDocument::headerMatchesData(const FMRHeader& h) const {
    return h.columns == columns_ && h.rows == rows_ && h.slices == slices_ &&
           h.nrOfVolumes == volumes_ && h.dataType == dataType_;
}

short** FmrDocument::intPointers() {
    return dataType_ == kFmrInt16 ? intPointers_.data() : nullptr;
}

float** FmrDocument::floatPointers() {
    return dataType_ == kFmrFloat32 ? floatPointers_.data() : nullptr;
}

std::span<short> FmrDocument::intVolume(int volume) {
    if (dataType_ != kFmrInt16 || volume < 0 || volume >= volumes_) return {};
    return std::span<short>(intData_).subspan(offsetOf(volume), voxelsPerVolume());
}

std::span<float> FmrDocument::floatVolume(int volume) {
    if (dataType_ != kFmrFloat32 || volume < 0 || volume >= volumes_) return {};
    return std::span<float>(floatData_).subspan(offsetOf(volume), voxelsPerVolume());
}

std::span<const short> FmrDocument::intVolume(int volume) const {
    if (dataType_ != kFmrInt16 || volume < 0 || volume >= volumes_) return {};
    return std::span<const short>(intData_).subspan(offsetOf(volume), voxelsPerVolume());
}

std::span<const float> FmrDocument::floatVolume(int volume) const {
    if (dataType_ != kFmrFloat32 || volume < 0 || volume >= volumes_) return {};
    return std::span<const float>(floatData_).subspan(offsetOf(volume), voxelsPerVolume());
}

std::vector<double> FmrDocument::volumeValues(int volume) const {
    if (volume < 0 || volume >= volumes_) {
        throw std::out_of_range("FMR has no volume " + std::to_string(volume));
    }
    if (dataType_ == kFmrInt16) {
        const auto part = intVolume(volume);
        return {part.begin(), part.end()};
    }
    if (dataType_ == kFmrFloat32) {
        const auto part = floatVolume(volume);
        return {part.begin(), part.end()};
    }
    return {};
}

std::vector<double> FmrDocument::values() const {
    std::vector<double> all;
    if (!hasData()) return all;
    all.reserve(voxelsPerVolume() * static_cast<std::size_t>(volumes_));
    for (int v = 0; v < volumes_; ++v) {
        const auto part = volumeValues(v);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void FmrDocument::setValues(std::span<const double> values) {
    const std::size_t n = voxelsPerVolume();
    if (!hasData() || values.size() > n * static_cast<std::size_t>(volumes_)) {
        throw std::invalid_argument("more values than the FMR document holds");
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (dataType_ == kFmrInt16) {
            intData_[k] = toInt16(values[k]);
        } else {
            floatData_[k] = static_cast<float>(values[k]);
        }
    }
}

}  // namespace ondrift::standin
