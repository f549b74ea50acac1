// The stand-in host's registration matrices: frames from position records, the slice-order
// mirror shared with the plug-in, past transformations and the exported function.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "host/registration.h"
#include "pipeline/mapping.h"

using namespace ondrift::standin;

namespace {

Matrix4 translation(float x, float y, float z) {
    return {1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z, 0, 0, 0, 1};
}

void expectNear(const Matrix4& a, const Matrix4& b, float tolerance) {
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], tolerance) << "entry " << i;
}

const Matrix4 kIdentity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

}  // namespace

TEST(Registration, MirrorAgreesWithThePluginFlip) {
    // Small integer centres make ties between |d.x|, |d.y| and |d.z| frequent.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> c(-3, 3);
    for (int n = 0; n < 2000; ++n) {
        ScannerPositionHeader s{};
        s.Slice1CenterX = float(c(rng));
        s.Slice1CenterY = float(c(rng));
        s.Slice1CenterZ = float(c(rng));
        s.SliceNCenterX = float(c(rng));
        s.SliceNCenterY = float(c(rng));
        s.SliceNCenterZ = float(c(rng));
        const ondrift::Matrix4 flip = ondrift::sliceOrderFlip(s);
        const std::array<float, 2> mirror = sliceOrderMirror(s);
        ASSERT_EQ(flip[0], mirror[0]) << n;
        ASSERT_EQ(flip[10], mirror[1]) << n;
    }
}

TEST(Registration, PositionRecordOfAGrid) {
    const GridPlacement g{.centre = {10, -20, 5},
                          .sliceDirection = {0, 0, -1},
                          .columns = 64,
                          .rows = 48,
                          .slices = 5,
                          .voxelSizeX = 3.5,
                          .voxelSizeY = 3.0,
                          .voxelSizeZ = 4.0};
    const ScannerPositionHeader s = makePosition(g);
    EXPECT_EQ(s.Slice1CenterZ, 13.0f);
    EXPECT_EQ(s.SliceNCenterZ, -3.0f);
    EXPECT_EQ(s.Slice1CenterX, 10.0f);
    EXPECT_EQ(s.NCols, 64);
    EXPECT_EQ(s.NRows, 48);
    EXPECT_EQ(s.FoVCols, 224.0f);
    EXPECT_EQ(s.FoVRows, 144.0f);
    EXPECT_EQ(s.SliceThickness, 4.0f);
    const Vector3 corner = voxelCentre(g, 0, 0, 4);
    EXPECT_DOUBLE_EQ(corner[0], 10 - 31.5 * 3.5);
    EXPECT_DOUBLE_EQ(corner[1], -20 - 23.5 * 3.0);
    EXPECT_DOUBLE_EQ(corner[2], -3.0);
}

TEST(Registration, SameGridGivesIdentityOrTheSliceMirror) {
    GridPlacement g{.centre = {1, 2, 3}, .columns = 8, .rows = 8, .slices = 8};
    Matrix4 ia;
    // Ascending slices (first lower in z): the FMR frame's z axis is mirrored.
    ASSERT_TRUE(registrationMatrix(makePosition(g), makePosition(g), ia));
    EXPECT_EQ(ia, (Matrix4{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1}));
    // Descending FMR against the same place: the normal follows the slices, no mirror, and the
    // VMR's ascending axis is the opposite of the FMR's.
    GridPlacement down = g;
    down.sliceDirection = {0, 0, -1};
    ASSERT_TRUE(registrationMatrix(makePosition(down), makePosition(g), ia));
    EXPECT_EQ(ia, (Matrix4{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1}));
    ASSERT_TRUE(registrationMatrix(makePosition(down), makePosition(down), ia));
    EXPECT_EQ(ia, kIdentity);
}

TEST(Registration, TiltedFrameIsRigidAndPlacesTheCentre) {
    const double a = 0.3;
    GridPlacement fmr{.centre = {12, -7, 30},
                      .rowDirection = {std::cos(a), std::sin(a), 0},
                      .columnDirection = {-std::sin(a), std::cos(a), 0},
                      .sliceDirection = {0, 0, 1},
                      .columns = 64,
                      .rows = 64,
                      .slices = 20};
    GridPlacement vmr{.centre = {0, 4, -2}, .columns = 256, .rows = 256, .slices = 256};
    Matrix4 ia;
    ASSERT_TRUE(registrationMatrix(makePosition(fmr), makePosition(vmr), ia));
    ondrift::Matrix4 inverse, product;
    ondrift::invertRigid4(ia, inverse);
    ondrift::multiply4(inverse, ia, product);
    expectNear(product, kIdentity, 1e-6f);
    EXPECT_NEAR(ia[3], 12.0f, 1e-5f);
    EXPECT_NEAR(ia[7], -11.0f, 1e-5f);
    EXPECT_NEAR(ia[11], 32.0f, 1e-5f);
    // The FMR frame's x axis is the row direction, seen from the VMR.
    EXPECT_NEAR(ia[0], std::cos(a), 1e-6);
    EXPECT_NEAR(ia[4], std::sin(a), 1e-6);
}

TEST(Registration, PastTransformationsAreUndoneInOrder) {
    PastTransformationsHeader record{};
    Matrix4 t;
    ASSERT_TRUE(pastTransformationMatrix(record, t));
    EXPECT_EQ(t, kIdentity);

    // First moved by (5, 0, 0), then scaled by 2: the way back halves, then moves by −5.
    const Matrix4 scale{2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1};
    ASSERT_TRUE(makePastTransformations({translation(5, 0, 0), scale}, record));
    ASSERT_TRUE(pastTransformationMatrix(record, t));
    expectNear(t, Matrix4{0.5f, 0, 0, -5, 0, 0.5f, 0, 0, 0, 0, 0.5f, 0, 0, 0, 0, 1}, 1e-7f);

    const Matrix4 flat{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_TRUE(makePastTransformations({flat}, record));
    EXPECT_FALSE(pastTransformationMatrix(record, t));
}

TEST(Registration, ExportedFunctionAndItsFailures) {
    const GridPlacement g{.centre = {3, 4, 5}, .sliceDirection = {0, 0, -1}, .slices = 3};
    const ScannerPositionHeader fmr = makePosition(g);
    const ScannerPositionHeader vmr = makePosition(GridPlacement{.slices = 3});
    PastTransformationsHeader past{};
    ASSERT_TRUE(makePastTransformations({translation(1, 2, 3)}, past));
    Matrix4 ia{}, t{};
    float out[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(vxCalculateIAMatrix(&fmr, &vmr, &past, ia.data(), t.data(), &out[0], &out[1], &out[2],
                                  &out[3], &out[4], &out[5]),
              1);
    expectNear(ia, Matrix4{1, 0, 0, 3, 0, 1, 0, 4, 0, 0, -1, 5, 0, 0, 0, 1}, 1e-6f);
    EXPECT_EQ(t, translation(-1, -2, -3));
    EXPECT_EQ(out[0], ia[3]);
    EXPECT_EQ(out[2], ia[11]);
    EXPECT_EQ(out[5], 0.0f);
    // Without a past-transformation record there is nothing to undo; null outputs are skipped.
    EXPECT_EQ(vxCalculateIAMatrix(&fmr, &vmr, nullptr, ia.data(), t.data(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr),
              1);
    EXPECT_EQ(t, kIdentity);

    // Directions that span no plane, a missing record, a singular past: 0 and identities.
    ScannerPositionHeader parallel = fmr;
    parallel.ColDirX = parallel.RowDirX;
    parallel.ColDirY = parallel.RowDirY;
    parallel.ColDirZ = parallel.RowDirZ;
    ScannerPositionHeader notANumber = fmr;
    notANumber.Slice1CenterY = std::nanf("");
    PastTransformationsHeader singular{};
    ASSERT_TRUE(makePastTransformations({Matrix4{}}, singular));
    struct Case {
        const ScannerPositionHeader* fmr;
        const PastTransformationsHeader* past;
    };
    for (const Case& c : {Case{&parallel, &past}, Case{&notANumber, &past}, Case{nullptr, &past},
                          Case{&fmr, &singular}}) {
        ia.fill(7.0f);
        t.fill(7.0f);
        EXPECT_EQ(vxCalculateIAMatrix(c.fmr, &vmr, c.past, ia.data(), t.data(), &out[0], &out[1],
                                      &out[2], &out[3], &out[4], &out[5]),
                  0);
        EXPECT_EQ(ia, kIdentity);
        EXPECT_EQ(t, kIdentity);
    }
}
