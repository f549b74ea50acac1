// The image container that carries every image through the plug-in.
//
// One four-dimensional grid (x = columns, y = rows, z = slices, volumes) in one contiguous buffer,
// x fastest and volume slowest, with voxel sizes, a name and a status code. The buffer is a
// std::vector owned by the container; "released" means the container holds no buffer.
#ifndef ONDRIFT_IMAGE_DATAHANDLER_H
#define ONDRIFT_IMAGE_DATAHANDLER_H

#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ondrift {

/// Outcome codes of a container; consumers test for Valid only.
enum ContainerStatus : std::int32_t {
    Valid = 89,        ///< obtained or produced
    NotObtained = 92,  ///< the host could not deliver the image
    Failed = 94,       ///< a step could not produce or save the image
};

/// Capacity of the name buffers the container makes (the name is cut to 511 characters).
inline constexpr std::size_t kContainerNameBytes = 512;
/// Capacity of the statistics text (511 characters + NUL).
inline constexpr std::size_t kStatisticsTextBytes = 512;

/// Minimum (never above 0), maximum (never below 0) and sum of values added in order, and the
/// statistics text made of them. Feeding the values in pieces, in buffer order, gives the very
/// sums of one pass over the whole buffer.
struct RunningStatistics {
    double minimum = 0.0;
    double maximum = 0.0;
    double sum = 0.0;

    template <typename V>
    void add(const V* values, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const double v = static_cast<double>(values[i]);
            if (v < minimum) minimum = v;
            if (v > maximum) maximum = v;
            sum += v;
        }
    }
    /// "Values of <label>: ..." with the mean over `count` values.
    std::string text(const char* label, std::size_t count) const {
        const double mean = sum / static_cast<double>(count);
        const double range = maximum + std::fabs(minimum);
        char buffer[kStatisticsTextBytes];
        // snprintf cuts at the buffer's end, so a very long label cannot overflow it.
        std::snprintf(buffer, sizeof buffer,
                      "Values of %s:\n\tMaximum: %lf\n\tMinimum: %lf\n\tRange: %lf\n\tMean: %lf",
                      label, maximum, minimum, range, mean);
        return std::string(buffer);
    }
};

using PositionMatrix = std::array<double, 16>;

inline PositionMatrix identityPositionMatrix() {
    PositionMatrix m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

template <typename T>
class datahandler {
public:
    /// Empty container: no buffer, zero extents, bytesPerVoxel 2 as the host's 16-bit default.
    datahandler() = default;

    /// Takes ownership of `buffer` as the image data.
    datahandler(std::vector<T> buffer, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                std::uint32_t volumes, std::uint64_t bytesPerVoxelIn)
        : dimX(x),
          dimY(y),
          dimZ(z),
          nrOfVolumes(volumes),
          bytesPerVoxel(bytesPerVoxelIn),
          data(std::move(buffer)),
          dataReleased(false) {
        recount();
    }

    datahandler(const datahandler&) = delete;
    datahandler& operator=(const datahandler&) = delete;
    datahandler(datahandler&&) noexcept = default;
    datahandler& operator=(datahandler&&) noexcept = default;
    virtual ~datahandler() = default;

    // --- accessors -----------------------------------------------------------------------
    std::int32_t getDimX() const { return static_cast<std::int32_t>(dimX); }
    std::int32_t getDimY() const { return static_cast<std::int32_t>(dimY); }
    std::int32_t getDimZ() const { return static_cast<std::int32_t>(dimZ); }
    std::int32_t getNrOfVolumes() const { return static_cast<std::int32_t>(nrOfVolumes); }
    std::int32_t getNrOfVoxels() const { return static_cast<std::int32_t>(nrOfVoxels); }
    std::uint64_t getBytesPerVoxel() const { return bytesPerVoxel; }
    float getVoxelSizeX() const { return voxelSizeX; }
    float getVoxelSizeY() const { return voxelSizeY; }
    float getVoxelSizeZ() const { return voxelSizeZ; }
    float getVoxelSizeT() const { return voxelSizeT; }
    const std::string& getName() const { return name; }
    T* getData() { return data.data(); }
    const T* getData() const { return data.data(); }
    /// Number of elements the buffer really holds (may exceed nrOfVoxels after setNrOfVolumes).
    std::size_t bufferSize() const { return data.size(); }
    std::int32_t getStatus() const { return status; }
    bool isValid() const { return status == Valid; }
    bool hasData() const { return !dataReleased; }
    bool hasPosition() const { return hasPosition_; }
    std::int32_t getPositionCode() const { return positionCode; }
    bool isPolarForm() const { return polarForm; }
    /// Voxels of one volume.
    std::size_t voxelsPerVolume() const { return static_cast<std::size_t>(dimX) * dimY * dimZ; }

    // --- mutators ------------------------------------------------------------------------
    void setDimX(std::uint32_t n) {
        dimX = n;
        recount();
    }
    void setDimY(std::uint32_t n) {
        dimY = n;
        recount();
    }
    /// Describes only the first volumes of the same buffer when reduced; the buffer is kept.
    void setNrOfVolumes(std::uint32_t n) {
        nrOfVolumes = n;
        recount();
    }
    void setVoxelSizes(float x, float y, float z) {
        voxelSizeX = x;
        voxelSizeY = y;
        voxelSizeZ = z;
        voxelSizeT = 0.0f;
    }
    void setData(std::vector<T> buffer) {
        data = std::move(buffer);
        dataReleased = false;
    }
    /// Hands the buffer out (for a result that becomes another container's data).
    std::vector<T> takeData() {
        dataReleased = true;
        return std::exchange(data, {});
    }
    void setStatus(std::int32_t code) { status = code; }
    void setName(std::string text) {
        if (text.size() >= kContainerNameBytes) text.resize(kContainerNameBytes - 1);
        name = std::move(text);
    }
    void setPosition(const PositionMatrix& m, std::int32_t code) {
        positionMatrix = m;
        positionCode = code;
        hasPosition_ = true;
    }
    void setPolarForm(bool polar) { polarForm = polar; }
    void assign(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t volumes,
                std::vector<T> buffer, std::string nameIn, std::uint64_t bytesPerVoxelIn) {
        dimX = x;
        dimY = y;
        dimZ = z;
        nrOfVolumes = volumes;
        data = std::move(buffer);
        setName(std::move(nameIn));
        bytesPerVoxel = bytesPerVoxelIn;
        recount();
        dataReleased = false;
    }

    /// The stored matrix when a position is attached, otherwise a new identity matrix.
    PositionMatrix getPositionMatrix() const {
        return hasPosition_ ? positionMatrix : identityPositionMatrix();
    }

    // --- element access (no bounds checks: callers keep coordinates inside the grid) -----
    std::size_t index(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t v = 0) const {
        return static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * dimX +
               static_cast<std::size_t>(z) * dimX * dimY +
               static_cast<std::size_t>(v) * dimX * dimY * dimZ;
    }
    T getValue(std::size_t i) const { return data[i]; }
    void setValue(std::size_t i, T value) { data[i] = value; }
    T getValue(std::int32_t x, std::int32_t y, std::int32_t z) const {
        return data[index(x, y, z)];
    }
    T getValue(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t v) const {
        return data[index(x, y, z, v)];
    }
    void setValue(std::int32_t x, std::int32_t y, std::int32_t z, T value) {
        data[index(x, y, z)] = value;
    }
    void setValue(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t v, T value) {
        data[index(x, y, z, v)] = value;
    }
    void addValue(std::int32_t x, std::int32_t y, std::int32_t z, T value) {
        data[index(x, y, z)] += value;
    }
    void addValue(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t v, T value) {
        data[index(x, y, z, v)] += value;
    }

    /// Writes volume v (dimX·dimY·dimZ elements, buffer order) to `out`.
    void getVolume(std::int32_t v, T* out) const {
        const std::size_t n = voxelsPerVolume();
        const T* src = data.data() + static_cast<std::size_t>(v) * n;
        for (std::size_t i = 0; i < n; ++i) out[i] = src[i];
    }
    /// Writes slice z of the first volume (dimX·dimY elements) to `out`.
    void getSlice(std::int32_t z, T* out) const {
        const std::size_t n = static_cast<std::size_t>(dimX) * dimY;
        const T* src = data.data() + static_cast<std::size_t>(z) * n;
        for (std::size_t i = 0; i < n; ++i) out[i] = src[i];
    }

    /// Copies extents, element size, voxel sizes, position and name to `other` and marks it
    /// Valid; the buffer is not copied. An empty name becomes "none".
    template <typename U>
    void copyHeaderTo(datahandler<U>& other) const {
        other.dimX = dimX;
        other.dimY = dimY;
        other.dimZ = dimZ;
        other.nrOfVolumes = nrOfVolumes;
        other.nrOfVoxels = nrOfVoxels;
        other.bytesPerVoxel = bytesPerVoxel;
        other.voxelSizeX = voxelSizeX;
        other.voxelSizeY = voxelSizeY;
        other.voxelSizeZ = voxelSizeZ;
        other.voxelSizeT = voxelSizeT;
        if (hasPosition_) {
            other.positionMatrix = positionMatrix;
            other.positionCode = positionCode;
        }
        other.setName(name.empty() ? std::string("none") : name);
        other.status = Valid;
    }

    // --- numeric operations (real-valued containers) -------------------------------------

    /// "Values of <label>:" with maximum, minimum, range and mean; the extremes start at 0.
    std::string statisticsText(const char* label) const requires std::is_arithmetic_v<T> {
        RunningStatistics s;
        s.add(data.data(), nrOfVoxels);
        return s.text(label, nrOfVoxels);
    }

    /// Largest element in single precision; never below 0.
    float getMaximum() const requires std::is_arithmetic_v<T> {
        float maximum = 0.0f;
        for (std::size_t i = 0; i < nrOfVoxels; ++i) {
            const float v = static_cast<float>(data[i]);
            if (v > maximum) maximum = v;
        }
        return maximum;
    }

    /// Mean with a float accumulator (each addition done in double, stored back as float).
    float getMean() const requires std::is_arithmetic_v<T> {
        float sum = 0.0f;
        for (std::size_t i = 0; i < nrOfVoxels; ++i) {
            sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(data[i]));
        }
        return sum / static_cast<float>(nrOfVoxels);
    }

    /// Maps the elements linearly into `out` (nrOfVoxels doubles); the container is unchanged.
    bool rescaleInto(double* out, double newMin,
                     double newMax) const requires std::is_arithmetic_v<T> {
        if (dataReleased) return false;
        double minimum = 0.0;
        double maximum = 0.0;
        extremes(data.data(), nrOfVoxels, minimum, maximum);
        const double factor = (newMax + std::fabs(newMin) + 1e-12) / (maximum + std::fabs(minimum));
        const double offset = newMin - factor * minimum;
        for (std::size_t i = 0; i < nrOfVoxels; ++i) {
            out[i] = factor * static_cast<double>(data[i]) + offset;
        }
        return true;
    }

    /// Maps `count` values in place onto newMin…newMax; the source range always contains 0.
    static void rescaleToRange(double* values, std::size_t count, double newMin, double newMax) {
        double minimum = 0.0;
        double maximum = 0.0;
        extremes(values, count, minimum, maximum);
        const double factor = (newMax + std::fabs(newMin)) / (maximum + std::fabs(minimum));
        const double offset = newMin - factor * minimum;
        for (std::size_t i = 0; i < count; ++i) values[i] = factor * values[i] + offset;
    }

private:
    template <typename U>
    friend class datahandler;

    template <typename V>
    static void extremes(const V* values, std::size_t count, double& minimum, double& maximum) {
        minimum = 0.0;
        maximum = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double v = static_cast<double>(values[i]);
            if (v < minimum) minimum = v;
            if (v > maximum) maximum = v;
        }
    }

    void recount() { nrOfVoxels = dimX * dimY * dimZ * nrOfVolumes; }

    std::uint32_t dimX = 0;
    std::uint32_t dimY = 0;
    std::uint32_t dimZ = 0;
    std::uint32_t nrOfVolumes = 0;
    std::uint32_t nrOfVoxels = 0;
    std::uint64_t bytesPerVoxel = 2;
    float voxelSizeX = 0.0f;
    float voxelSizeY = 0.0f;
    float voxelSizeZ = 0.0f;
    float voxelSizeT = 0.0f;
    bool hasPosition_ = false;
    std::int32_t positionCode = 0;
    PositionMatrix positionMatrix{};
    std::string name;
    std::vector<T> data;
    bool dataReleased = true;
    bool polarForm = true;
    std::int32_t status = 0;  // nobody has marked a fresh container as usable
};

using Image = datahandler<double>;

}  // namespace ondrift

#endif
