// The 4×4 toolkit: product order, rigid inverse, points, rounding and the report text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "pipeline/kernels/matrix4.h"

using namespace ondrift;

namespace {

Matrix4 rotationXYZ(float ax, float ay, float az, float tx, float ty, float tz) {
    const float cx = std::cos(ax), sx = std::sin(ax), cy = std::cos(ay), sy = std::sin(ay);
    const float cz = std::cos(az), sz = std::sin(az);
    Matrix4 rx{1, 0, 0, 0, 0, cx, -sx, 0, 0, sx, cx, 0, 0, 0, 0, 1};
    Matrix4 ry{cy, 0, sy, 0, 0, 1, 0, 0, -sy, 0, cy, 0, 0, 0, 0, 1};
    Matrix4 rz{cz, -sz, 0, 0, sz, cz, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    Matrix4 m;
    multiply4(rz, ry, m);
    multiply4(m, rx, m);
    m[3] = tx;
    m[7] = ty;
    m[11] = tz;
    return m;
}

}  // namespace

TEST(Matrix4, TransposeInPlace) {
    Matrix4 a, b;
    for (int i = 0; i < 16; ++i) a[i] = float(i);
    transpose4(a, b);
    transpose4(a, a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[4 * 1 + 2], 9.0f);  // (1, 2) from (2, 1)
}

TEST(Matrix4, MultiplyIsRowTimesColumnInFixedOrder) {
    Matrix4 a, b;
    for (int i = 0; i < 16; ++i) {
        a[i] = float(i + 1);
        b[i] = float(16 - i) * 0.5f;
    }
    Matrix4 c;
    multiply4(a, b, c);
    EXPECT_EQ(c[4 * 1 + 2], 5.f * 7.f + 6.f * 5.f + 7.f * 3.f + 8.f * 1.f);  // row 1 · column 2
    Matrix4 d;
    multiply4(b, a, d);
    EXPECT_NE(c, d);

    // Cancellation shows the order: (1e8 + 1) − 1e8 in float is 0, 1e8 + (1 − 1e8) is not.
    const Matrix4 row{1e8f, 1.0f, -1e8f, 1.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Matrix4 ones;
    setIdentity4(ones);
    for (int r = 0; r < 4; ++r) ones[4 * r] = 1.0f;  // column 0 all ones
    multiply4(row, ones, c);
    EXPECT_EQ(c[0], ((1e8f + 1.0f) + -1e8f) + 1.0f);
    EXPECT_EQ(c[0], 1.0f);

    // Aliasing the output with an input gives the same as a separate output.
    Matrix4 e = a;
    multiply4(e, b, e);
    multiply4(a, b, c);
    EXPECT_EQ(e, c);
}

TEST(Matrix4, RigidInverseIsExactForRotationsAndMirrors) {
    for (const Matrix4& m : {rotationXYZ(0.3f, -0.2f, 1.1f, 12.5f, -7.0f, 30.0f),
                             rotationXYZ(0.0f, 0.0f, 3.14159265f, 1.0f, 2.0f, 3.0f)}) {
        Matrix4 inv, product;
        invertRigid4(m, inv);
        multiply4(inv, m, product);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(product[4 * r + c], r == c ? 1.0f : 0.0f, 1e-5f) << r << "," << c;
        multiply4(m, inv, product);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(product[4 * r + c], r == c ? 1.0f : 0.0f, 1e-5f) << r << "," << c;
    }
    // A mirrored frame (one axis negated) is orthogonal too.
    Matrix4 mirror{-1, 0, 0, 5, 0, 1, 0, 6, 0, 0, 1, 7, 0, 0, 0, 1};
    Matrix4 inv;
    invertRigid4(mirror, inv);
    EXPECT_EQ(inv, (Matrix4{-1, 0, 0, 5, 0, 1, 0, -6, 0, 0, 1, -7, 0, 0, 0, 1}));
    // The translation is negated and rotated back: [Aᵀ −Aᵀt].
    Matrix4 quarter{0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1};
    invertRigid4(quarter, inv);
    EXPECT_EQ(inv, (Matrix4{0, 1, 0, -20, -1, 0, 0, 10, 0, 0, 1, -30, 0, 0, 0, 1}));
}

TEST(Matrix4, TransformPointAndRounding) {
    const Matrix4 m{1, 2, 3, 4, 0, 1, 0, -1, 0, 0, 2, 0.5f, 0, 0, 0, 1};
    Point4 q;
    transformPoint4(m, Point4{1, 1, 1, 1}, q);
    EXPECT_EQ(q, (Point4{10, 0, 2.5f, 1}));
    transformPoint4(m, q, q);  // in place
    EXPECT_EQ(q, (Point4{21.5f, -1, 5.5f, 1}));

    EXPECT_EQ(roundHalfUp(2.5), 3.0);
    EXPECT_EQ(roundHalfUp(-0.5), 0.0);
    EXPECT_EQ(roundHalfUp(-1.5), -1.0);
    EXPECT_EQ(roundHalfUp(2.4999), 2.0);
    EXPECT_EQ(roundHalfUp(-2.51), -3.0);
    // The largest float below one half stays below: the sum is taken in double.
    EXPECT_EQ(roundHalfUp(double(std::nextafter(0.5f, 0.0f))), 0.0);
}

TEST(Matrix4, MatrixTextLayoutAndBound) {
    const matrixTools tools;
    Matrix4 m;
    setIdentity4(m);
    m[3] = -12.3456789f;
    m[14] = 1.0f / 3.0f;
    EXPECT_EQ(tools.matrixText("Title", m),
              "Title: \n"
              "\t1.000000\t0.000000\t0.000000\t-12.345679\n"
              "\t0.000000\t1.000000\t0.000000\t0.000000\n"
              "\t0.000000\t0.000000\t1.000000\t0.000000\n"
              "\t0.000000\t0.000000\t0.333333\t1.000000\n");
    const std::string longLabel(2000, 'x');
    const std::string text = tools.matrixText(longLabel.c_str(), m);
    EXPECT_EQ(text.size(), 511u);
    EXPECT_EQ(text, longLabel.substr(0, 511));

    const Matrix4d identity = tools.newIdentityMatrix();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(identity[i], i % 5 == 0 ? 1.0 : 0.0);
}
