// The VMR-to-FMR matrix: slice-order flips, scalings, the past-transformation rule, the product
// order and every report the step logs.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "pipeline/mapping.h"

using namespace ondrift;
using ondrift::standin::session;

namespace {

ScannerPositionHeader slices(float x1, float y1, float z1, float xn, float yn, float zn) {
    ScannerPositionHeader s{};
    s.Slice1CenterX = x1;
    s.Slice1CenterY = y1;
    s.Slice1CenterZ = z1;
    s.SliceNCenterX = xn;
    s.SliceNCenterY = yn;
    s.SliceNCenterZ = zn;
    return s;
}

FMRHeader fmrHeader(float vx, float vy, float vz) {
    FMRHeader h{};
    h.columns = 4;
    h.rows = 4;
    h.slices = 3;
    h.voxelSizeX = vx;
    h.voxelSizeY = vy;
    h.voxelSizeZ = vz;
    return h;
}

VMRMainHeader vmrHeader(float vx, float vy, float vz) {
    VMRMainHeader v{};
    v.dimX = v.dimY = v.dimZ = 8;
    v.voxelSizeX = vx;
    v.voxelSizeY = vy;
    v.voxelSizeZ = vz;
    return v;
}

Matrix4 identity() {
    Matrix4 m;
    setIdentity4(m);
    return m;
}

std::string report(const char* title, const Matrix4& m) {
    return matrixTools().matrixText(title, m);
}

class MappingMatrix : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        session().clearRecords();
    }
};

}  // namespace

TEST(SliceOrderFlip, RulesAndTies) {
    struct Case {
        const char* what;
        ScannerPositionHeader s;
        float f00, f22;
    };
    const Case cases[] = {
        {"transversal ascending (d.z < 0)", slices(0, 0, -50, 0, 0, 50), 1, -1},
        {"transversal descending (d.z > 0)", slices(0, 0, 50, 0, 0, -50), 1, 1},
        {"single slice (d = 0)", slices(3, 4, 5, 3, 4, 5), 1, 1},
        {"sagittal, first slice at larger x", slices(40, 0, 0, -40, 0, 0), -1, 1},
        {"sagittal, first slice at smaller x", slices(-40, 0, 0, 40, 0, 0), 1, 1},
        {"sagittal with a z tilt below x", slices(40, 0, -10, -40, 0, 10), -1, 1},
        {"coronal, z decides (d.z < 0)", slices(0, 60, -5, 0, -60, 5), 1, -1},
        {"coronal, z decides (d.z > 0)", slices(0, -60, 5, 0, 60, -5), 1, 1},
        {"coronal, no z component", slices(0, 60, 0, 0, -60, 0), 1, 1},
        {"coronal, y beats x, x would flip", slices(10, 60, 0, -10, -60, 0), 1, 1},
        {"tie |d.z| = |d.x| counts as x", slices(10, 0, -10, -10, 0, 10), -1, 1},
        {"tie, x not positive: no flip", slices(-10, 0, -10, 10, 0, 10), 1, 1},
        {"tie |d.y| = |d.x| counts as x", slices(10, 10, 0, -10, -10, 0), -1, 1},
    };
    for (const Case& c : cases) {
        Matrix4 expected = identity();
        expected[0] = c.f00;
        expected[10] = c.f22;
        EXPECT_EQ(sliceOrderFlip(c.s), expected) << c.what;
    }
}

TEST_F(MappingMatrix, ReportsInOrderWithoutPastTransformation) {
    // Descending transversal slices (no flip); the host matrix is a pure translation and the
    // past transformation holds only a translation, which the unit diagonal leaves unused.
    const FMRHeader h = fmrHeader(2.0f, 4.0f, 3.0f);
    const VMRMainHeader v = vmrHeader(1.0f, 1.0f, 0.5f);
    Matrix4 ia = identity();
    ia[3] = 10.0f;
    ia[7] = -20.0f;
    ia[11] = 6.0f;
    Matrix4 t = identity();
    t[3] = 99.0f;
    Matrix4 out;
    vmrToFmrMatrix(h, slices(0, 0, 30, 0, 0, -30), v, t, ia, out);

    const Matrix4 expected{0.5f,  0, 0, -5.0f, 0, 0.25f, 0, 5.0f, 0, 0, 1.0f / 3.0f * 0.5f,
                           -2.0f, 0, 0, 0,     1};
    for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(out[i], expected[i]) << i;

    Matrix4 si;
    setScaling4(si, 0.5f, 0.25f, 1.0f / 3.0f);
    Matrix4 sv;
    setScaling4(sv, 1.0f, 1.0f, 0.5f);
    const std::vector<std::string> expectedLog{
        report("Flipping matrix, based on slice acquisition order", identity()),
        report("FMR inverse scaling matrix", si),
        report("VMR scaling matrix", sv),
        report("Final VMR 2 FMR matrix", out),
    };
    EXPECT_EQ(session().log, expectedLog);
    EXPECT_NE(session().log[3].find("\t-5.000000\n"), std::string::npos);
}

TEST_F(MappingMatrix, PastTransformationWithScalingIsFlippedIn) {
    // Ascending transversal slices flip z; a past transformation with a non-unit diagonal is
    // multiplied in as F·T between the VMR scaling and the host matrix.
    const FMRHeader h = fmrHeader(3.0f, 3.0f, 3.0f);
    const VMRMainHeader v = vmrHeader(1.0f, 1.0f, 1.0f);
    const Matrix4 ia{0, -1, 0, 1, 1, 0, 0, 2, 0, 0, 1, 3, 0, 0, 0, 1};  // quarter turn + shift
    Matrix4 t = identity();
    t[0] = 2.0f;
    t[7] = 4.0f;
    Matrix4 out;
    vmrToFmrMatrix(h, slices(0, 0, -30, 0, 0, 30), v, t, ia, out);

    Matrix4 f = identity();
    f[10] = -1.0f;
    Matrix4 si;
    setScaling4(si, 1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f);
    Matrix4 r, q, m;
    invertRigid4(ia, r);
    multiply4(f, t, q);
    multiply4(f, si, m);
    multiply4(m, r, m);
    multiply4(m, q, m);
    multiply4(m, identity(), m);
    EXPECT_EQ(out, m);

    ASSERT_EQ(session().log.size(), 5u);
    EXPECT_EQ(session().log[0], report("Flipping matrix, based on slice acquisition order", f));
    EXPECT_EQ(session().log[3], report("Incorporating flip in past VMR transformation", t));
    EXPECT_EQ(session().log[4], report("Final VMR 2 FMR matrix", out));

    // A VMR voxel at centred (1, 0, 2): 2 mm after T's scaling, translated 4 in y, rotated back
    // by the host matrix, in 3 mm voxels, z flipped.
    Point4 p{1, 0, 2, 1}, result;
    transformPoint4(out, p, result);
    EXPECT_NEAR(result[0], (4.0f - 2.0f) / 3.0f, 1e-6f);
    EXPECT_NEAR(result[1], -(2.0f - 1.0f) / 3.0f, 1e-6f);
    EXPECT_NEAR(result[2], (2.0f + 3.0f) / 3.0f, 1e-6f);
}

TEST_F(MappingMatrix, EveryDiagonalEntryCounts) {
    for (int d : {0, 5, 10}) {
        session().clearRecords();
        Matrix4 t = identity();
        t[d] = -1.0f;
        Matrix4 out;
        vmrToFmrMatrix(fmrHeader(1, 1, 1), slices(0, 0, 1, 0, 0, -1), vmrHeader(1, 1, 1), t,
                       identity(), out);
        ASSERT_EQ(session().log.size(), 5u) << d;
        EXPECT_EQ(session().log[3].rfind("Incorporating flip in past VMR transformation: ", 0), 0u);
        EXPECT_EQ(out[d], -1.0f);
    }
}

TEST_F(MappingMatrix, InverseScalingIsOneOverTheFloat) {
    const FMRHeader h = fmrHeader(3.3f, 0.7f, 2.9f);
    Matrix4 out;
    vmrToFmrMatrix(h, slices(0, 0, 1, 0, 0, -1), vmrHeader(1, 1, 1), identity(), identity(), out);
    EXPECT_EQ(out[0], 1.0f / 3.3f);
    EXPECT_EQ(out[5], 1.0f / 0.7f);
    EXPECT_EQ(out[10], 1.0f / 2.9f);
    EXPECT_EQ(session().log[1],
              report("FMR inverse scaling matrix", Matrix4{1.0f / 3.3f, 0, 0, 0, 0, 1.0f / 0.7f, 0,
                                                           0, 0, 0, 1.0f / 2.9f, 0, 0, 0, 0, 1}));
}
