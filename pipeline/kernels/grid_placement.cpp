#include "pipeline/kernels/grid_placement.h"

#include <cmath>

namespace ondrift {

namespace {

double dot(const Vec3d& a, const Vec3d& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3d cross(const Vec3d& a, const Vec3d& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double norm(const Vec3d& a) { return std::sqrt(dot(a, a)); }

bool finite(const Vec3d& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

double determinant(const Affine34& a) {
    return a[0] * (a[5] * a[10] - a[6] * a[9]) - a[1] * (a[4] * a[10] - a[6] * a[8]) +
           a[2] * (a[4] * a[9] - a[5] * a[8]);
}

// Grids whose axes are closer to parallel than this (relative volume of the voxel against the
// product of its step lengths) are treated as degenerate: rounding in the records alone never
// comes near it, and inverting such an affine would turn float noise into millimetres.
constexpr double kRelativeVolume = 1e-6;

}  // namespace

PlacementProblem voxelToWorld(const SlicePlacement& p, Dims dims, Affine34& out) {
    out = {};
    if (!finite(p.firstSliceCentre) || !finite(p.lastSliceCentre) || !finite(p.rowDir) ||
        !finite(p.colDir) || !finite(p.voxelSize)) {
        return PlacementProblem::NotFinite;
    }
    if (dims.x < 1 || dims.y < 1 || dims.z < 1) return PlacementProblem::Singular;
    const double rowLength = norm(p.rowDir);
    const double colLength = norm(p.colDir);
    if (!(rowLength > 0) || !(colLength > 0) || !(p.voxelSize[0] > 0) || !(p.voxelSize[1] > 0)) {
        return PlacementProblem::Singular;
    }
    Vec3d row, col, slice;
    for (int a = 0; a < 3; ++a) {
        row[a] = p.rowDir[a] / rowLength * p.voxelSize[0];
        col[a] = p.colDir[a] / colLength * p.voxelSize[1];
    }
    if (dims.z > 1) {
        for (int a = 0; a < 3; ++a) {
            slice[a] = (p.lastSliceCentre[a] - p.firstSliceCentre[a]) / (dims.z - 1);
        }
    } else {
        if (!(p.voxelSize[2] > 0)) return PlacementProblem::Singular;
        const Vec3d normal = cross(p.rowDir, p.colDir);
        const double n = norm(normal);
        if (!(n > 0)) return PlacementProblem::Singular;
        for (int a = 0; a < 3; ++a) slice[a] = normal[a] / n * p.voxelSize[2];
    }
    const double ci = (dims.x - 1) / 2.0;
    const double cj = (dims.y - 1) / 2.0;
    for (int r = 0; r < 3; ++r) {
        out[4 * r + 0] = row[r];
        out[4 * r + 1] = col[r];
        out[4 * r + 2] = slice[r];
        out[4 * r + 3] = p.firstSliceCentre[r] - row[r] * ci - col[r] * cj;
    }
    const double scale = norm(row) * norm(col) * norm(slice);
    if (!std::isfinite(scale) || !(std::fabs(determinant(out)) > kRelativeVolume * scale)) {
        return PlacementProblem::Singular;
    }
    return PlacementProblem::None;
}

PlacementProblem invertAffine(const Affine34& a, Affine34& out) {
    out = {};
    for (double v : a) {
        if (!std::isfinite(v)) return PlacementProblem::NotFinite;
    }
    const Vec3d c0{a[0], a[4], a[8]}, c1{a[1], a[5], a[9]}, c2{a[2], a[6], a[10]};
    const double det = determinant(a);
    const double scale = norm(c0) * norm(c1) * norm(c2);
    if (!(std::fabs(det) > kRelativeVolume * scale)) return PlacementProblem::Singular;
    // Rows of the inverse are the cross products of the columns, over the determinant.
    const Vec3d r0 = cross(c1, c2), r1 = cross(c2, c0), r2 = cross(c0, c1);
    const Vec3d* rows[3] = {&r0, &r1, &r2};
    const Vec3d t{a[3], a[7], a[11]};
    for (int r = 0; r < 3; ++r) {
        const Vec3d& v = *rows[r];
        out[4 * r + 0] = v[0] / det;
        out[4 * r + 1] = v[1] / det;
        out[4 * r + 2] = v[2] / det;
        out[4 * r + 3] = -dot(v, t) / det;
    }
    return PlacementProblem::None;
}

Affine34 composeAffine(const Affine34& a, const Affine34& b) {
    Affine34 c{};
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 4; ++k) {
            double s = a[4 * r + 0] * b[k] + a[4 * r + 1] * b[4 + k] + a[4 * r + 2] * b[8 + k];
            if (k == 3) s += a[4 * r + 3];
            c[4 * r + k] = s;
        }
    }
    return c;
}

Vec3d applyAffine(const Affine34& a, double i, double j, double k) {
    return {a[0] * i + a[1] * j + a[2] * k + a[3], a[4] * i + a[5] * j + a[6] * k + a[7],
            a[8] * i + a[9] * j + a[10] * k + a[11]};
}

}  // namespace ondrift
