// The value arrays of a container as spans, never longer than the buffer really is.
#ifndef ONDRIFT_PIPELINE_IMAGE_VIEWS_H
#define ONDRIFT_PIPELINE_IMAGE_VIEWS_H

#include <cstddef>
#include <span>

#include "image/datahandler.h"
#include "pipeline/kernels/dims.h"

namespace ondrift {

/// The grid of one volume.
inline Dims volumeDims(const Image& image) {
    return {image.getDimX(), image.getDimY(), image.getDimZ()};
}

/// True when the container owns a buffer that covers all its voxels and its extents are sane
/// (none of them beyond the signed 32-bit range the container reports them in).
inline bool holdsAllVoxels(const Image& image) {
    return image.hasData() && image.getDimX() >= 0 && image.getDimY() >= 0 &&
           image.getDimZ() >= 0 && image.getNrOfVolumes() >= 0 &&
           image.bufferSize() >= static_cast<std::size_t>(image.getNrOfVoxels()) &&
           static_cast<std::size_t>(image.getNrOfVoxels()) ==
               image.voxelsPerVolume() * static_cast<std::size_t>(image.getNrOfVolumes());
}

/// True when the container holds at least one complete volume.
inline bool holdsFirstVolume(const Image& image) {
    return holdsAllVoxels(image) && image.getNrOfVolumes() >= 1;
}

/// All voxels of all volumes (empty unless holdsAllVoxels).
inline std::span<double> allValues(Image& image) {
    if (!holdsAllVoxels(image)) return {};
    return {image.getData(), static_cast<std::size_t>(image.getNrOfVoxels())};
}
inline std::span<const double> allValues(const Image& image) {
    if (!holdsAllVoxels(image)) return {};
    return {image.getData(), static_cast<std::size_t>(image.getNrOfVoxels())};
}

/// Volume v (empty unless the container holds it).
inline std::span<double> volumeValues(Image& image, int v) {
    if (!holdsAllVoxels(image) || v < 0 || v >= image.getNrOfVolumes()) return {};
    const std::size_t n = image.voxelsPerVolume();
    return {image.getData() + static_cast<std::size_t>(v) * n, n};
}
inline std::span<const double> volumeValues(const Image& image, int v) {
    if (!holdsAllVoxels(image) || v < 0 || v >= image.getNrOfVolumes()) return {};
    const std::size_t n = image.voxelsPerVolume();
    return {image.getData() + static_cast<std::size_t>(v) * n, n};
}

}  // namespace ondrift

#endif
