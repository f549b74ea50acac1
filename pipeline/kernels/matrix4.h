// The 4×4 matrix toolkit of the mapping: sixteen floats, row-major (element (r, c) at 4·r + c),
// applied to column vectors (x, y, z, 1) on the right.
#ifndef ONDRIFT_PIPELINE_KERNELS_MATRIX4_H
#define ONDRIFT_PIPELINE_KERNELS_MATRIX4_H

#include <array>
#include <string>

namespace ondrift {

using Matrix4 = std::array<float, 16>;
using Point4 = std::array<float, 4>;
using Matrix4d = std::array<double, 16>;

/// Capacity of a matrix report (511 characters + NUL).
inline constexpr std::size_t kMatrixTextBytes = 512;

void setIdentity4(Matrix4& m);
/// Diagonal (sx, sy, sz, 1), zeros elsewhere.
void setScaling4(Matrix4& m, float sx, float sy, float sz);
void copyMatrix4(const Matrix4& source, Matrix4& destination);
/// destination(r, c) = source(c, r); source and destination may be the same matrix.
void transpose4(const Matrix4& source, Matrix4& destination);
/// c = a·b, each entry summed over k = 0…3 in this order in single precision. c may be a or b.
void multiply4(const Matrix4& a, const Matrix4& b, Matrix4& c);
/// Inverse of a rotation-plus-translation matrix [A t; 0 0 0 1]: [Aᵀ −Aᵀ·t; 0 0 0 1]. Exact for
/// any orthogonal A (mirrors included); no general inversion is attempted.
void invertRigid4(const Matrix4& m, Matrix4& result);
/// q = m·p, each coordinate summed over the four columns in order, in single precision.
void transformPoint4(const Matrix4& m, const Point4& p, Point4& q);
/// Nearest integer, halves towards +∞: floor(v + 0.5).
double roundHalfUp(double v);

/// Matrix report text and a double identity; stateless, create one where it is needed.
class matrixTools {
public:
    /// "<label>: " and the four rows, each entry "\t%f", each row closed by "\n"; cut at 511
    /// characters.
    std::string matrixText(const char* label, const Matrix4& m) const;
    /// A new 4×4 identity of doubles, owned by the caller.
    Matrix4d newIdentityMatrix() const;
};

}  // namespace ondrift

#endif
