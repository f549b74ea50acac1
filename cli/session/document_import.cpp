#include "cli/session/document_import.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "cli/base/errors.h"
#include "cli/session/scanner_position.h"
#include "host/workspace.h"

namespace ondrift::cli {

float percentile(const NiftiImage& image, double fraction) {
    const auto first = image.volume(0);
    if (first.empty()) return 0.0f;
    std::vector<float> values(first.begin(), first.end());
    const auto rank = static_cast<std::size_t>(std::clamp(fraction, 0.0, 1.0) *
                                               static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

namespace {

standin::FmrSpec fmrLayout(const NiftiGeometry& g, const std::string& documentName, int volumes) {
    standin::FmrSpec layout;
    layout.name = documentName;
    layout.columns = g.nx();
    layout.rows = g.ny();
    layout.slices = g.nz();
    layout.volumes = volumes > 0 ? std::min(volumes, g.nt()) : g.nt();
    layout.dataType = kFmrFloat32;
    layout.voxelSizeX = g.voxelSize()[0];
    layout.voxelSizeY = g.voxelSize()[1];
    layout.voxelSizeZ = g.voxelSize()[2];
    layout.position = positionFromGeometry(g);
    return layout;
}

}  // namespace

int adoptFmr(NiftiImage& image, const std::string& documentName) {
    const standin::FmrSpec layout = fmrLayout(image.geometry, documentName, 0);
    std::unique_ptr<standin::FmrDocument> doc;
    try {
        doc = std::make_unique<standin::FmrDocument>(layout, std::move(image.data));
    } catch (const std::invalid_argument& e) {
        throw InputError(image.path + ": cannot become a host document (" + e.what() + ")");
    }
    image.data.clear();
    return standin::workspace().addFmr(std::move(doc));
}

int importFmr(const NiftiImage& image, const std::string& documentName, int volumes, float scale) {
    const standin::FmrSpec layout = fmrLayout(image.geometry, documentName, volumes);
    std::unique_ptr<standin::FmrDocument> doc;
    try {
        doc = std::make_unique<standin::FmrDocument>(layout);
    } catch (const std::invalid_argument& e) {
        throw InputError(image.path + ": cannot become a host document (" + e.what() + ")");
    }
    for (int t = 0; t < layout.volumes; ++t) {
        const auto source = image.volume(t);
        auto target = doc->floatVolume(t);
        if (scale == 1.0f) {
            std::copy(source.begin(), source.end(), target.begin());
        } else {
            std::transform(source.begin(), source.end(), target.begin(),
                           [scale](float v) { return v * scale; });
        }
    }
    return standin::workspace().addFmr(std::move(doc));
}

int addSeriesBlock(const NiftiGeometry& geometry, const std::string& documentName, int volumes) {
    std::unique_ptr<standin::FmrDocument> doc;
    try {
        doc = std::make_unique<standin::FmrDocument>(fmrLayout(geometry, documentName, volumes));
    } catch (const std::invalid_argument& e) {
        throw ProcessingError(documentName + ": cannot become a host document (" + e.what() + ")");
    }
    return standin::workspace().addFmr(std::move(doc));
}

namespace {

/// A VMR document on the given grid, placed in space by its affine; voxels still to be filled.
standin::VmrSpec vmrLayout(const NiftiGeometry& g, const std::string& documentName) {
    standin::VmrSpec layout;
    layout.name = documentName;
    layout.dimX = g.nx();
    layout.dimY = g.ny();
    layout.dimZ = g.nz();
    layout.voxelSizeX = g.voxelSize()[0];
    layout.voxelSizeY = g.voxelSize()[1];
    layout.voxelSizeZ = g.voxelSize()[2];
    layout.position = positionFromGeometry(g);
    return layout;
}

}  // namespace

int importVmr(const NiftiImage& image, const std::string& documentName) {
    const NiftiGeometry& g = image.geometry;
    standin::VmrSpec layout = vmrLayout(g, documentName);
    const float low = percentile(image, 0.001);
    const float high = percentile(image, 0.999);
    const float range = high > low ? high - low : 1.0f;
    const auto first = image.volume(0);
    layout.voxels.resize(first.size());
    std::transform(first.begin(), first.end(), layout.voxels.begin(), [&](float v) {
        const float level = std::nearbyint((v - low) / range * 255.0f);
        return static_cast<std::uint8_t>(std::clamp(level, 0.0f, 255.0f));
    });
    try {
        return standin::workspace().addVmr(layout);
    } catch (const std::invalid_argument& e) {
        throw InputError(image.path + ": cannot become a host document (" + e.what() + ")");
    }
}

int addSamplingLattice(const NiftiGeometry& epi, const std::string& documentName) {
    const Affine& a = epi.affine();
    Affine half = a;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            half[static_cast<std::size_t>(4 * r + c)] = a[static_cast<std::size_t>(4 * r + c)] / 2;
        // Lattice point 0 sits a quarter voxel before the first functional voxel's centre.
        half[static_cast<std::size_t>(4 * r + 3)] =
            a[static_cast<std::size_t>(4 * r + 3)] -
            0.25 * (a[static_cast<std::size_t>(4 * r)] + a[static_cast<std::size_t>(4 * r + 1)] +
                    a[static_cast<std::size_t>(4 * r + 2)]);
    }
    const NiftiGeometry g = makeGeometry({2 * epi.nx(), 2 * epi.ny(), 2 * epi.nz(), 1}, half);
    standin::VmrSpec layout = vmrLayout(g, documentName);
    try {
        return standin::workspace().addVmr(layout);
    } catch (const std::invalid_argument& e) {
        throw InputError(std::string("the functional grid is too large for a sampling lattice (") +
                         e.what() + ")");
    }
}

}  // namespace ondrift::cli
