#include "cli/session/scanner_position.h"

#include <cmath>

namespace ondrift::cli {

namespace {

struct Vec3 {
    double x, y, z;
};

Vec3 column(const Affine& a, int c) {
    return {a[static_cast<std::size_t>(c)], a[static_cast<std::size_t>(4 + c)],
            a[static_cast<std::size_t>(8 + c)]};
}

double length(const Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

Vec3 apply(const Affine& a, double i, double j, double k) {
    return {a[0] * i + a[1] * j + a[2] * k + a[3], a[4] * i + a[5] * j + a[6] * k + a[7],
            a[8] * i + a[9] * j + a[10] * k + a[11]};
}

// RAS+ (NIfTI world) to the patient frame of the position record, and back: x and y negated.
Vec3 toPatient(const Vec3& v) { return {-v.x, -v.y, v.z}; }

}  // namespace

ScannerPositionHeader positionFromGeometry(const NiftiGeometry& geometry) {
    const Affine& a = geometry.affine();
    const double ci = (geometry.nx() - 1) / 2.0;
    const double cj = (geometry.ny() - 1) / 2.0;
    const Vec3 first = toPatient(apply(a, ci, cj, 0.0));
    const Vec3 last = toPatient(apply(a, ci, cj, geometry.nz() - 1.0));
    const Vec3 row = column(a, 0);
    const Vec3 col = column(a, 1);
    const double rowStep = length(row);
    const double colStep = length(col);
    const double sliceStep = length(column(a, 2));
    const Vec3 rowDir = toPatient({row.x / rowStep, row.y / rowStep, row.z / rowStep});
    const Vec3 colDir = toPatient({col.x / colStep, col.y / colStep, col.z / colStep});

    ScannerPositionHeader p{};
    p.PosInfosVerified = 1;
    p.CoordinateSystem = 1;
    p.Slice1CenterX = static_cast<float>(first.x);
    p.Slice1CenterY = static_cast<float>(first.y);
    p.Slice1CenterZ = static_cast<float>(first.z);
    p.SliceNCenterX = static_cast<float>(last.x);
    p.SliceNCenterY = static_cast<float>(last.y);
    p.SliceNCenterZ = static_cast<float>(last.z);
    p.RowDirX = static_cast<float>(rowDir.x);
    p.RowDirY = static_cast<float>(rowDir.y);
    p.RowDirZ = static_cast<float>(rowDir.z);
    p.ColDirX = static_cast<float>(colDir.x);
    p.ColDirY = static_cast<float>(colDir.y);
    p.ColDirZ = static_cast<float>(colDir.z);
    p.NRows = geometry.ny();
    p.NCols = geometry.nx();
    p.FoVRows = static_cast<float>(geometry.ny() * colStep);
    p.FoVCols = static_cast<float>(geometry.nx() * rowStep);
    p.SliceThickness = static_cast<float>(sliceStep);
    p.GapThickness = 0.0f;
    return p;
}

Affine affineFromPosition(const ScannerPositionHeader& p, int nz) {
    const double rowStep = p.NCols > 0 ? p.FoVCols / p.NCols : 1.0;
    const double colStep = p.NRows > 0 ? p.FoVRows / p.NRows : 1.0;
    const Vec3 rowDir = toPatient({p.RowDirX, p.RowDirY, p.RowDirZ});
    const Vec3 colDir = toPatient({p.ColDirX, p.ColDirY, p.ColDirZ});
    const Vec3 first = toPatient({p.Slice1CenterX, p.Slice1CenterY, p.Slice1CenterZ});
    const Vec3 last = toPatient({p.SliceNCenterX, p.SliceNCenterY, p.SliceNCenterZ});
    Vec3 slice{0, 0, 0};
    if (nz > 1) {
        slice = {(last.x - first.x) / (nz - 1), (last.y - first.y) / (nz - 1),
                 (last.z - first.z) / (nz - 1)};
    } else {
        // One slice: the normal of the row and column directions, one thickness long.
        slice = {rowDir.y * colDir.z - rowDir.z * colDir.y,
                 rowDir.z * colDir.x - rowDir.x * colDir.z,
                 rowDir.x * colDir.y - rowDir.y * colDir.x};
        const double t = p.SliceThickness > 0 ? p.SliceThickness : 1.0;
        slice = {slice.x * t, slice.y * t, slice.z * t};
    }
    const double ci = (p.NCols - 1) / 2.0;
    const double cj = (p.NRows - 1) / 2.0;
    Affine a{};
    a[0] = rowDir.x * rowStep;
    a[4] = rowDir.y * rowStep;
    a[8] = rowDir.z * rowStep;
    a[1] = colDir.x * colStep;
    a[5] = colDir.y * colStep;
    a[9] = colDir.z * colStep;
    a[2] = slice.x;
    a[6] = slice.y;
    a[10] = slice.z;
    a[3] = first.x - a[0] * ci - a[1] * cj;
    a[7] = first.y - a[4] * ci - a[5] * cj;
    a[11] = first.z - a[8] * ci - a[9] * cj;
    a[15] = 1.0;
    return a;
}

}  // namespace ondrift::cli
