// vxCalculateIAMatrix of the stand-in host and the frame arithmetic behind it.
#include "host/registration.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ondrift::standin {
namespace {

using Matrix4x4 = std::array<std::array<double, 4>, 4>;

double dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vector3 scaled(const Vector3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

Vector3 minus(const Vector3& a, const Vector3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

bool finite(const Vector3& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

/// Unit vector, or false when the length is too small to give a direction.
bool normalised(const Vector3& a, Vector3& unit) {
    const double length = std::sqrt(dot(a, a));
    if (!finite(a) || !(length > 1e-6)) return false;
    unit = scaled(a, 1.0 / length);
    return true;
}

Vector3 firstCentre(const ScannerPositionHeader& s) {
    return {s.Slice1CenterX, s.Slice1CenterY, s.Slice1CenterZ};
}

Vector3 lastCentre(const ScannerPositionHeader& s) {
    return {s.SliceNCenterX, s.SliceNCenterY, s.SliceNCenterZ};
}

/// The grid's own frame: (row, col, slice) made orthonormal, centred between the slice centres.
bool gridFrame(const ScannerPositionHeader& s, Frame& frame) {
    Vector3 row, col, normal;
    if (!normalised({s.RowDirX, s.RowDirY, s.RowDirZ}, row)) return false;
    const Vector3 colIn{s.ColDirX, s.ColDirY, s.ColDirZ};
    // Slight non-orthogonality from rounded records is removed; the row direction is kept.
    if (!normalised(minus(colIn, scaled(row, dot(colIn, row))), col)) return false;
    if (!normalised(cross(row, col), normal)) return false;
    const Vector3 first = firstCentre(s);
    const Vector3 last = lastCentre(s);
    if (!finite(first) || !finite(last)) return false;
    if (dot(normal, minus(last, first)) < 0.0) normal = scaled(normal, -1.0);
    frame.axes = {row, col, normal};
    frame.centre = scaled({first[0] + last[0], first[1] + last[1], first[2] + last[2]}, 0.5);
    return true;
}

Matrix4x4 toDouble(const Matrix4& m) {
    Matrix4x4 d{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) d[r][c] = m[4 * r + c];
    return d;
}

Matrix4x4 product(const Matrix4x4& a, const Matrix4x4& b) {
    Matrix4x4 p{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            for (int k = 0; k < 4; ++k) p[r][c] += a[r][k] * b[k][c];
    return p;
}

/// Gauss-Jordan with partial pivoting; false for a (nearly) singular matrix.
bool inverted(Matrix4x4 a, Matrix4x4& inverse) {
    Matrix4x4 b{};
    for (int i = 0; i < 4; ++i) b[i][i] = 1.0;
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (!(std::fabs(a[pivot][c]) > 1e-12)) return false;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        const double scale = 1.0 / a[c][c];
        for (int k = 0; k < 4; ++k) {
            a[c][k] *= scale;
            b[c][k] *= scale;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double factor = a[r][c];
            for (int k = 0; k < 4; ++k) {
                a[r][k] -= factor * a[c][k];
                b[r][k] -= factor * b[c][k];
            }
        }
    }
    for (const auto& row : b)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    inverse = b;
    return true;
}

Matrix4 identity() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

}  // namespace

ScannerPositionHeader makePosition(const GridPlacement& g) {
    ScannerPositionHeader s{};
    s.PosInfosVerified = 1;
    const double half = (g.slices - 1) / 2.0 * g.voxelSizeZ;
    const Vector3 first = minus(g.centre, scaled(g.sliceDirection, half));
    const Vector3 last = minus(g.centre, scaled(g.sliceDirection, -half));
    s.Slice1CenterX = float(first[0]);
    s.Slice1CenterY = float(first[1]);
    s.Slice1CenterZ = float(first[2]);
    s.SliceNCenterX = float(last[0]);
    s.SliceNCenterY = float(last[1]);
    s.SliceNCenterZ = float(last[2]);
    s.RowDirX = float(g.rowDirection[0]);
    s.RowDirY = float(g.rowDirection[1]);
    s.RowDirZ = float(g.rowDirection[2]);
    s.ColDirX = float(g.columnDirection[0]);
    s.ColDirY = float(g.columnDirection[1]);
    s.ColDirZ = float(g.columnDirection[2]);
    s.NRows = g.rows;
    s.NCols = g.columns;
    s.FoVRows = float(g.rows * g.voxelSizeY);
    s.FoVCols = float(g.columns * g.voxelSizeX);
    s.SliceThickness = float(g.voxelSizeZ);
    s.GapThickness = 0.0f;
    return s;
}

Vector3 voxelCentre(const GridPlacement& g, double i, double j, double k) {
    const double u = (i - (g.columns - 1) / 2.0) * g.voxelSizeX;
    const double v = (j - (g.rows - 1) / 2.0) * g.voxelSizeY;
    const double w = (k - (g.slices - 1) / 2.0) * g.voxelSizeZ;
    Vector3 p = g.centre;
    for (int a = 0; a < 3; ++a) {
        p[a] += u * g.rowDirection[a] + v * g.columnDirection[a] + w * g.sliceDirection[a];
    }
    return p;
}

std::array<float, 2> sliceOrderMirror(const ScannerPositionHeader& s) {
    // The same single-precision differences and comparisons as the plug-in's flip, so that the
    // two always agree, ties included.
    const float dx = s.Slice1CenterX - s.SliceNCenterX;
    const float dy = s.Slice1CenterY - s.SliceNCenterY;
    const float dz = s.Slice1CenterZ - s.SliceNCenterZ;
    if (std::fabs(dz) > std::fabs(dx) || std::fabs(dy) > std::fabs(dx)) {
        return {1.0f, dz < 0.0f ? -1.0f : 1.0f};
    }
    return {dx > 0.0f ? -1.0f : 1.0f, 1.0f};
}

bool vmrFrame(const ScannerPositionHeader& position, Frame& frame) {
    return gridFrame(position, frame);
}

bool fmrFrame(const ScannerPositionHeader& position, Frame& frame) {
    if (!gridFrame(position, frame)) return false;
    const std::array<float, 2> mirror = sliceOrderMirror(position);
    frame.axes[0] = scaled(frame.axes[0], mirror[0]);
    frame.axes[2] = scaled(frame.axes[2], mirror[1]);
    return true;
}

bool registrationMatrix(const ScannerPositionHeader& fmr, const ScannerPositionHeader& vmr,
                        Matrix4& ia) {
    Frame f, v;
    if (!fmrFrame(fmr, f) || !vmrFrame(vmr, v)) return false;
    const Vector3 offset = minus(f.centre, v.centre);
    ia = identity();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) ia[4 * r + c] = float(dot(v.axes[r], f.axes[c]));
        ia[4 * r + 3] = float(dot(v.axes[r], offset));
    }
    return true;
}

bool pastTransformationMatrix(const PastTransformationsHeader& record, Matrix4& t) {
    Matrix4x4 applied{};
    for (int i = 0; i < 4; ++i) applied[i][i] = 1.0;
    for (const Matrix4& step : pastTransformations(record))
        applied = product(toDouble(step), applied);
    Matrix4x4 back;
    if (!inverted(applied, back)) return false;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) t[4 * r + c] = float(back[r][c]);
    return true;
}

}  // namespace ondrift::standin

extern "C" int vxCalculateIAMatrix(const ScannerPositionHeader* fmrPosition,
                                   const ScannerPositionHeader* vmrPosition,
                                   const PastTransformationsHeader* vmrTransformations,
                                   float* iaMatrix, float* transformationMatrix, float* out1,
                                   float* out2, float* out3, float* out4, float* out5,
                                   float* out6) {
    using namespace ondrift::standin;
    Matrix4 ia = identity();
    Matrix4 t = identity();
    bool ok = fmrPosition != nullptr && vmrPosition != nullptr &&
              registrationMatrix(*fmrPosition, *vmrPosition, ia);
    // No record means no past transformations.
    if (ok && vmrTransformations != nullptr) ok = pastTransformationMatrix(*vmrTransformations, t);
    if (!ok) {
        ia = identity();
        t = identity();
    }
    if (iaMatrix != nullptr) std::copy(ia.begin(), ia.end(), iaMatrix);
    if (transformationMatrix != nullptr) std::copy(t.begin(), t.end(), transformationMatrix);
    // The six single values: the FMR centre in VMR millimetres, then nothing.
    const float singles[6] = {ia[3], ia[7], ia[11], 0.0f, 0.0f, 0.0f};
    float* outs[6] = {out1, out2, out3, out4, out5, out6};
    for (int n = 0; n < 6; ++n)
        if (outs[n] != nullptr) *outs[n] = singles[n];
    return ok ? 1 : 0;
}
