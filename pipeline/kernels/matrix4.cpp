#include "pipeline/kernels/matrix4.h"

#include <cmath>
#include <cstdio>

namespace ondrift {

void setIdentity4(Matrix4& m) {
    m.fill(0.0f);
    m[0] = m[5] = m[10] = m[15] = 1.0f;
}

void setScaling4(Matrix4& m, float sx, float sy, float sz) {
    m.fill(0.0f);
    m[0] = sx;
    m[5] = sy;
    m[10] = sz;
    m[15] = 1.0f;
}

void copyMatrix4(const Matrix4& source, Matrix4& destination) { destination = source; }

void transpose4(const Matrix4& source, Matrix4& destination) {
    Matrix4 t;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) t[4 * r + c] = source[4 * c + r];
    }
    destination = t;
}

void multiply4(const Matrix4& a, const Matrix4& b, Matrix4& c) {
    Matrix4 product;
    for (int r = 0; r < 4; ++r) {
        for (int k = 0; k < 4; ++k) {
            // One expression, left to right: the report values depend on this order in float.
            product[4 * r + k] = a[4 * r + 0] * b[0 + k] + a[4 * r + 1] * b[4 + k] +
                                 a[4 * r + 2] * b[8 + k] + a[4 * r + 3] * b[12 + k];
        }
    }
    c = product;
}

void invertRigid4(const Matrix4& m, Matrix4& result) {
    Matrix4 n = m;
    n[3] = n[7] = n[11] = 0.0f;
    Matrix4 d;
    setIdentity4(d);
    d[3] = -m[3];
    d[7] = -m[7];
    d[11] = -m[11];
    Matrix4 nt;
    transpose4(n, nt);
    multiply4(nt, d, result);
}

void transformPoint4(const Matrix4& m, const Point4& p, Point4& q) {
    Point4 out;
    for (int r = 0; r < 4; ++r) {
        out[r] =
            m[4 * r + 0] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3] * p[3];
    }
    q = out;
}

double roundHalfUp(double v) { return std::floor(v + 0.5); }

std::string matrixTools::matrixText(const char* label, const Matrix4& m) const {
    char text[kMatrixTextBytes];
    // snprintf cuts at the buffer's end, so a long label cannot overflow it.
    std::snprintf(text, sizeof text,
                  "%s: \n\t%f\t%f\t%f\t%f\n\t%f\t%f\t%f\t%f\n\t%f\t%f\t%f\t%f\n\t%f\t%f\t%f\t%f\n",
                  label != nullptr ? label : "", double(m[0]), double(m[1]), double(m[2]),
                  double(m[3]), double(m[4]), double(m[5]), double(m[6]), double(m[7]),
                  double(m[8]), double(m[9]), double(m[10]), double(m[11]), double(m[12]),
                  double(m[13]), double(m[14]), double(m[15]));
    return std::string(text);
}

Matrix4d matrixTools::newIdentityMatrix() const {
    Matrix4d m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

}  // namespace ondrift
