// A field map, an EPI and an anatomical volume placed in one scanner, with a known smooth pixel
// shift field: the scene of the geometric mapping tests.
//
// The field-map project samples the field at its voxel centres; after the mapping, every EPI
// voxel should hold the field at its own centre, up to the two nearest-neighbour steps (the VMR
// voxel that lands in the EPI voxel lies within half an EPI voxel diagonal of its centre, and
// the field-map voxel taken lies within half a field-map voxel diagonal of that VMR voxel).
#ifndef ONDRIFT_TESTS_MAPPING_SCENE_H
#define ONDRIFT_TESTS_MAPPING_SCENE_H

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "host/registration.h"
#include "host/workspace.h"

namespace mapping_scene {

using ondrift::standin::GridPlacement;
using ondrift::standin::Vector3;

/// Pixel shift in voxels at a scanner position (mm): smooth, between about 0.7 and 5.3.
/// Titles of the matrix reports of the mapping branch, in the order they are logged.
inline const std::vector<std::string> kReportTitles{
    "Functional data to VMR mapping",
    "Phase data to VMR mapping",
    "Flipping matrix, based on slice acquisition order",
    "FMR inverse scaling matrix",
    "VMR scaling matrix",
    "Final VMR 2 FMR matrix",
    "Final EPI (*.fmr) to VMR mapping",
    "Flipping matrix, based on slice acquisition order",
    "FMR inverse scaling matrix",
    "VMR scaling matrix",
    "Final VMR 2 FMR matrix",
    "Final pixelshiftmap (*.fmr) to VMR (and FMR 1) mapping",
};

inline double field(const Vector3& p) {
    return 3.0 + 0.8 * std::sin(p[0] / 37.0 + 0.3) + 0.6 * std::cos(p[1] / 45.0) + 0.004 * p[2] +
           0.4 * std::sin((p[0] + p[2]) / 60.0);
}
/// An upper bound of |∇field| (voxels per mm), from the terms above.
inline double fieldSlope() {
    const double dx = 0.8 / 37.0 + 0.4 / 60.0, dy = 0.6 / 45.0, dz = 0.004 + 0.4 / 60.0;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

inline Vector3 rotated(const Vector3& v, double aboutX, double aboutZ) {
    const double cx = std::cos(aboutX), sx = std::sin(aboutX);
    const double cz = std::cos(aboutZ), sz = std::sin(aboutZ);
    const Vector3 a{v[0], cx * v[1] - sx * v[2], sx * v[1] + cx * v[2]};
    return {cz * a[0] - sz * a[1], sz * a[0] + cz * a[1], a[2]};
}

inline Vector3 negated(const Vector3& v) { return {-v[0], -v[1], -v[2]}; }

inline Vector3 normalOf(const GridPlacement& g) {
    const Vector3& r = g.rowDirection;
    const Vector3& c = g.columnDirection;
    return {r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
}

enum class Acquisition {
    TransversalAscending,   ///< both stacks from lower to higher z
    TransversalDescending,  ///< both from higher to lower z
    Sagittal,               ///< both sagittal, first slice at larger x
    OppositeOrders,         ///< EPI ascending, field map descending
};

inline const char* nameOf(Acquisition a) {
    switch (a) {
        case Acquisition::TransversalAscending: return "transversal ascending";
        case Acquisition::TransversalDescending: return "transversal descending";
        case Acquisition::Sagittal: return "sagittal";
        case Acquisition::OppositeOrders: return "opposite slice orders";
    }
    return "";
}

struct Scene {
    GridPlacement vmr, start, epi;
};

/// Field map 64×64×32 at 3.5 mm, EPI 80×80×36 at 3 mm shifted and tilted, VMR 256³ at 1 mm.
inline Scene makeScene(Acquisition a) {
    Scene s;
    s.vmr = {.centre = {0, 0, 0}, .columns = 256, .rows = 256, .slices = 256};
    s.start = {.centre = {2, 5, -4},
               .columns = 64,
               .rows = 64,
               .slices = 32,
               .voxelSizeX = 3.5,
               .voxelSizeY = 3.5,
               .voxelSizeZ = 3.5};
    s.epi = {.centre = {6, -9, 12},
             .columns = 80,
             .rows = 80,
             .slices = 36,
             .voxelSizeX = 3.0,
             .voxelSizeY = 3.0,
             .voxelSizeZ = 3.0};
    const double deg = 3.14159265358979 / 180.0;
    if (a == Acquisition::Sagittal) {
        // Rows run anterior-posterior, columns downwards; the normal row × col points to −x,
        // so the stacks start at larger x.
        for (GridPlacement* g : {&s.start, &s.epi}) {
            g->rowDirection = {0, 1, 0};
            g->columnDirection = {0, 0, -1};
        }
        s.epi.rowDirection = rotated(s.epi.rowDirection, 8 * deg, 5 * deg);
        s.epi.columnDirection = rotated(s.epi.columnDirection, 8 * deg, 5 * deg);
        s.start.rowDirection = rotated(s.start.rowDirection, 0, -3 * deg);
        s.start.columnDirection = rotated(s.start.columnDirection, 0, -3 * deg);
    } else {
        s.epi.rowDirection = rotated({1, 0, 0}, 15 * deg, 5 * deg);
        s.epi.columnDirection = rotated({0, 1, 0}, 15 * deg, 5 * deg);
        s.start.rowDirection = rotated({1, 0, 0}, -4 * deg, 0);
        s.start.columnDirection = rotated({0, 1, 0}, -4 * deg, 0);
    }
    s.start.sliceDirection = normalOf(s.start);
    s.epi.sliceDirection = normalOf(s.epi);
    if (a == Acquisition::TransversalDescending) {
        s.start.sliceDirection = negated(s.start.sliceDirection);
        s.epi.sliceDirection = negated(s.epi.sliceDirection);
    }
    if (a == Acquisition::OppositeOrders) s.start.sliceDirection = negated(s.start.sliceDirection);
    return s;
}

/// Field values at every voxel centre of a grid, x fastest.
inline std::vector<double> sampledField(const GridPlacement& g) {
    std::vector<double> values;
    values.reserve(std::size_t(g.columns) * g.rows * g.slices);
    for (int k = 0; k < g.slices; ++k)
        for (int j = 0; j < g.rows; ++j)
            for (int i = 0; i < g.columns; ++i)
                values.push_back(field(ondrift::standin::voxelCentre(g, i, j, k)));
    return values;
}

struct SceneDocuments {
    int start = -1, vmr = -1, epi = -1;
};

/// Adds the three projects to the workspace: the pixel shift map "<dir>/fieldmap_pixshift.fmr"
/// (float, one volume), the VMR "<dir>/anatomy.vmr" and the EPI "<dir>/epi.fmr" (float, two
/// volumes of a smooth pattern).
inline SceneDocuments addScene(ondrift::standin::Workspace& ws, const Scene& s,
                               const std::filesystem::path& dir) {
    using namespace ondrift::standin;
    auto fmrSpec = [](const GridPlacement& g, const std::filesystem::path& name, int volumes) {
        FmrSpec description;
        description.name = name.string();
        description.columns = g.columns;
        description.rows = g.rows;
        description.slices = g.slices;
        description.volumes = volumes;
        description.dataType = kFmrFloat32;
        description.voxelSizeX = float(g.voxelSizeX);
        description.voxelSizeY = float(g.voxelSizeY);
        description.voxelSizeZ = float(g.voxelSizeZ);
        description.position = makePosition(g);
        return description;
    };
    SceneDocuments d;
    FmrSpec start = fmrSpec(s.start, dir / "fieldmap_pixshift.fmr", 1);
    start.values = sampledField(s.start);
    d.start = ws.addFmr(start);

    VmrSpec vmr;
    vmr.name = (dir / "anatomy.vmr").string();
    vmr.dimX = s.vmr.columns;
    vmr.dimY = s.vmr.rows;
    vmr.dimZ = s.vmr.slices;
    vmr.voxelSizeX = float(s.vmr.voxelSizeX);
    vmr.voxelSizeY = float(s.vmr.voxelSizeY);
    vmr.voxelSizeZ = float(s.vmr.voxelSizeZ);
    vmr.position = makePosition(s.vmr);
    d.vmr = ws.addVmr(vmr);

    FmrSpec epi = fmrSpec(s.epi, dir / "epi.fmr", 2);
    epi.values.resize(std::size_t(s.epi.columns) * s.epi.rows * s.epi.slices * 2);
    for (std::size_t n = 0; n < epi.values.size(); ++n) epi.values[n] = 500.0 + double(n % 97);
    d.epi = ws.addFmr(epi);
    return d;
}

/// How well a mapped map (one volume on the EPI grid) matches the field at the EPI voxel centres
/// (or, with `mirrorStart`, at their mirror images across the field map's middle slice).
struct Figures {
    double maxError = 0, meanError = 0;  ///< |mapped − field| in voxels of shift, reached voxels
    double bound = 0;                    ///< what two nearest-neighbour steps may cost
    long reached = 0;                    ///< EPI voxels that received a value
    long required = 0;         ///< EPI voxels whose whole cell lies inside the field map and VMR
    long requiredMissing = 0;  ///< of those, voxels left at 0
};

/// Coordinates of a scanner point in a grid's centred millimetre frame (row, col, slice).
inline Vector3 inGrid(const GridPlacement& g, const Vector3& p) {
    const Vector3 d{p[0] - g.centre[0], p[1] - g.centre[1], p[2] - g.centre[2]};
    auto dot = [](const Vector3& a, const Vector3& b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    };
    return {dot(d, g.rowDirection), dot(d, g.columnDirection), dot(d, g.sliceDirection)};
}

inline bool wellInside(const GridPlacement& g, const Vector3& p, double margin) {
    const Vector3 u = inGrid(g, p);
    return std::fabs(u[0]) + margin < g.columns * g.voxelSizeX / 2 &&
           std::fabs(u[1]) + margin < g.rows * g.voxelSizeY / 2 &&
           std::fabs(u[2]) + margin < g.slices * g.voxelSizeZ / 2;
}

inline double halfDiagonal(const GridPlacement& g) {
    return 0.5 * std::sqrt(g.voxelSizeX * g.voxelSizeX + g.voxelSizeY * g.voxelSizeY +
                           g.voxelSizeZ * g.voxelSizeZ);
}

inline Figures compare(const Scene& s, std::span<const double> mapped, bool mirrorStart = false) {
    Figures f;
    f.bound = fieldSlope() * (halfDiagonal(s.epi) + halfDiagonal(s.start)) + 1e-5;
    double sum = 0;
    const double epiHalf = halfDiagonal(s.epi);
    std::size_t n = 0;
    for (int k = 0; k < s.epi.slices; ++k)
        for (int j = 0; j < s.epi.rows; ++j)
            for (int i = 0; i < s.epi.columns; ++i, ++n) {
                Vector3 p = ondrift::standin::voxelCentre(s.epi, i, j, k);
                const bool required =
                    wellInside(s.start, p, epiHalf) && wellInside(s.vmr, p, epiHalf + 0.5);
                f.required += required;
                if (mapped[n] == 0.0) {
                    f.requiredMissing += required;
                    continue;
                }
                if (mirrorStart) {
                    const double w = inGrid(s.start, p)[2];
                    for (int a = 0; a < 3; ++a) p[a] -= 2 * w * s.start.sliceDirection[a];
                }
                const double error = std::fabs(mapped[n] - field(p));
                f.maxError = std::max(f.maxError, error);
                sum += error;
                ++f.reached;
            }
    f.meanError = f.reached > 0 ? sum / double(f.reached) : 0.0;
    return f;
}

}  // namespace mapping_scene

#endif
