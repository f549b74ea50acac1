// Trilinear resampling between grids placed differently in the scanner, against fields given
// analytically in world millimetres.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "pipeline/kernels/field_resampling.h"
#include "pipeline/kernels/grid_placement.h"

using namespace ondrift;

namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;

/// A grid of `dims` voxels with axes `axes` (row, col, slice directions as unit vectors),
/// centred at `centre`; its position record rounded to floats as a host hands it out.
struct Grid {
    Dims dims;
    SlicePlacement placement;
    Affine34 toWorld{};
};

Grid makeGrid(Dims dims, Vec3d size, const std::array<Vec3d, 3>& axes, Vec3d centre) {
    Grid g;
    g.dims = dims;
    auto f = [](double v) { return static_cast<double>(static_cast<float>(v)); };
    const double half = (dims.z - 1) / 2.0 * size[2];
    for (int a = 0; a < 3; ++a) {
        g.placement.firstSliceCentre[a] = f(centre[a] - half * axes[2][a]);
        g.placement.lastSliceCentre[a] = f(centre[a] + half * axes[2][a]);
        g.placement.rowDir[a] = f(axes[0][a]);
        g.placement.colDir[a] = f(axes[1][a]);
    }
    g.placement.voxelSize = size;
    EXPECT_EQ(voxelToWorld(g.placement, dims, g.toWorld), PlacementProblem::None);
    return g;
}

/// Axes rotated about x by `ax`, then about z by `az` (degrees).
std::array<Vec3d, 3> tilted(double ax, double az) {
    const double ca = std::cos(ax * kDeg), sa = std::sin(ax * kDeg);
    const double cb = std::cos(az * kDeg), sb = std::sin(az * kDeg);
    const Vec3d e[3] = {{1, 0, 0}, {0, ca, sa}, {0, -sa, ca}};
    std::array<Vec3d, 3> out;
    for (int a = 0; a < 3; ++a)
        out[a] = {cb * e[a][0] - sb * e[a][1], sb * e[a][0] + cb * e[a][1], e[a][2]};
    return out;
}

const std::array<Vec3d, 3> kAxial{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

using Field = std::function<double(const Vec3d&)>;

std::vector<double> sample(const Grid& g, const Field& f) {
    std::vector<double> v(g.dims.voxels());
    std::size_t t = 0;
    for (int k = 0; k < g.dims.z; ++k)
        for (int j = 0; j < g.dims.y; ++j)
            for (int i = 0; i < g.dims.x; ++i) v[t++] = f(applyAffine(g.toWorld, i, j, k));
    return v;
}

struct Resampled {
    std::vector<double> values;
    std::vector<unsigned char> inside;
    ResampleCounts counts;
    Affine34 targetToSource{};
};

Resampled resample(const Grid& source, const std::vector<double>& values, const Grid& target,
                   const std::vector<unsigned char>& mask = {}) {
    Affine34 worldToSource{};
    EXPECT_EQ(invertAffine(source.toWorld, worldToSource), PlacementProblem::None);
    Resampled r;
    r.targetToSource = composeAffine(worldToSource, target.toWorld);
    r.values.assign(target.dims.voxels(), -1.0);
    r.inside.assign(target.dims.voxels(), 7);
    r.counts = resampleTrilinear(source.dims, values, mask, target.dims, r.targetToSource, r.values,
                                 r.inside);
    return r;
}

/// Largest error against `f` over the target voxels whose centre lies between source centres
/// on every axis (where no edge clamping applies); also counts them.
double interiorError(const Grid& source, const Grid& target, const Resampled& r, const Field& f,
                     std::size_t* count) {
    double worst = 0;
    std::size_t n = 0, t = 0;
    for (int k = 0; k < target.dims.z; ++k)
        for (int j = 0; j < target.dims.y; ++j)
            for (int i = 0; i < target.dims.x; ++i, ++t) {
                const Vec3d p = applyAffine(r.targetToSource, i, j, k);
                if (p[0] < 0 || p[1] < 0 || p[2] < 0 || p[0] > source.dims.x - 1 ||
                    p[1] > source.dims.y - 1 || p[2] > source.dims.z - 1)
                    continue;
                EXPECT_EQ(r.inside[t], 1);
                worst = std::max(worst,
                                 std::fabs(r.values[t] - f(applyAffine(target.toWorld, i, j, k))));
                ++n;
            }
    *count = n;
    return worst;
}

const Field kLinear = [](const Vec3d& w) { return 12.0 + 0.8 * w[0] - 1.7 * w[1] + 2.3 * w[2]; };
const Vec3d kLobe{10, -20, 15};
// 0.02 Hz/mm² about a point off centre: second derivative 0.04 Hz/mm² along any unit direction.
const Field kQuadratic = [](const Vec3d& w) {
    const double dx = w[0] - kLobe[0], dy = w[1] - kLobe[1], dz = w[2] - kLobe[2];
    return 0.02 * (dx * dx + dy * dy + dz * dz) - 30.0;
};

/// Bound of the trilinear error of kQuadratic: h²/8 times the second derivative, per axis.
double quadraticBound(Vec3d h) { return (h[0] * h[0] + h[1] * h[1] + h[2] * h[2]) * 0.04 / 8.0; }

struct Case {
    const char* name;
    Grid target;
};

}  // namespace

TEST(GridPlacement, VoxelCentresFollowTheRecord) {
    // Sagittal stack, slices descending in x, columns along y, rows along −z.
    const Grid g =
        makeGrid({4, 6, 5}, {2.0, 3.0, 2.5}, {{{0, 1, 0}, {0, 0, -1}, {-1, 0, 0}}}, {7, -3, 11});
    const Vec3d centre = applyAffine(g.toWorld, 1.5, 2.5, 2.0);
    EXPECT_NEAR(centre[0], 7, 1e-5);
    EXPECT_NEAR(centre[1], -3, 1e-5);
    EXPECT_NEAR(centre[2], 11, 1e-5);
    const Vec3d corner = applyAffine(g.toWorld, 0, 0, 0);
    EXPECT_NEAR(corner[0], 7 + 5.0, 1e-5);   // slice 0 at +2 slice steps in x
    EXPECT_NEAR(corner[1], -3 - 3.0, 1e-5);  // −1.5 columns of 2 mm
    EXPECT_NEAR(corner[2], 11 + 7.5, 1e-5);  // −2.5 rows of 3 mm along −z
    Affine34 back{};
    ASSERT_EQ(invertAffine(g.toWorld, back), PlacementProblem::None);
    const Vec3d v = applyAffine(back, corner[0], corner[1], corner[2]);
    EXPECT_NEAR(v[0], 0, 1e-9);
    EXPECT_NEAR(v[1], 0, 1e-9);
    EXPECT_NEAR(v[2], 0, 1e-9);

    // One slice: the slice axis is the in-plane normal, one slice step long.
    const Grid one = makeGrid({4, 4, 1}, {2, 2, 4}, kAxial, {0, 0, 0});
    EXPECT_NEAR(one.toWorld[10], 4.0, 1e-12);
}

TEST(GridPlacement, RefusesGeometryThatIsNotAGrid) {
    SlicePlacement p;
    p.firstSliceCentre = {0, 0, 0};
    p.lastSliceCentre = {0, 0, 10};
    p.rowDir = {1, 0, 0};
    p.colDir = {0, 1, 0};
    p.voxelSize = {2, 2, 2};
    Affine34 a{};
    ASSERT_EQ(voxelToWorld(p, {8, 8, 6}, a), PlacementProblem::None);

    SlicePlacement bad = p;
    bad.rowDir[1] = std::nan("");
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::NotFinite);
    bad = p;
    bad.lastSliceCentre[2] = INFINITY;
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::NotFinite);
    bad = p;
    bad.colDir = {1, 0, 0};  // rows and columns parallel
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::Singular);
    bad = p;
    bad.rowDir = {0, 0, 0};
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::Singular);
    bad = p;
    bad.lastSliceCentre = bad.firstSliceCentre;  // several slices in one place
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::Singular);
    bad = p;
    bad.lastSliceCentre = {10, 0, 0};  // slices stacked within the slice plane
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::Singular);
    bad = p;
    bad.voxelSize = {2, 0, 2};
    EXPECT_EQ(voxelToWorld(bad, {8, 8, 6}, a), PlacementProblem::Singular);
    EXPECT_EQ(voxelToWorld(p, {8, 8, 0}, a), PlacementProblem::Singular);

    Affine34 flat{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, out{};
    EXPECT_EQ(invertAffine(flat, out), PlacementProblem::Singular);
    flat[10] = std::nan("");
    EXPECT_EQ(invertAffine(flat, out), PlacementProblem::NotFinite);
}

TEST(FieldResampling, LinearAndQuadraticFieldsOnGridsPlacedDifferently) {
    // Field map: 40×36×24 voxels of 1.875×1.875×2 mm, axial.
    const Vec3d sourceSize{1.875, 1.875, 2.0};
    const Grid source = makeGrid({40, 36, 24}, sourceSize, kAxial, {0, 0, 0});
    const std::vector<Case> cases = {
        {"coarser voxels", makeGrid({30, 27, 22}, {2.5, 2.5, 2.13}, kAxial, {0, 0, 0})},
        {"moved", makeGrid({20, 20, 12}, {3, 3, 3}, kAxial, {6.3, -9.1, 4.7})},
        {"axes in another order",
         makeGrid({16, 20, 18}, {2.2, 2.4, 2.6}, {{{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}}, {1, 2, -3})},
        {"mirrored columns and slices",
         makeGrid({24, 22, 14}, {2.5, 2.5, 2.5}, {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0, 0})},
        {"left-handed",
         makeGrid({24, 22, 14}, {2.5, 2.5, 2.5}, {{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}}, {0.5, 0, 0})},
        {"tilted slices", makeGrid({26, 24, 14}, {2.5, 2.5, 2.5}, tilted(17, 6), {-2, 3, 1})},
        {"oblique and mirrored",
         makeGrid({22, 22, 12}, {2.7, 2.7, 3.1}, tilted(-23, 31), {1.5, -1, 0.5})},
    };
    const std::vector<double> linear = sample(source, kLinear);
    const std::vector<double> quadratic = sample(source, kQuadratic);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t n = 0;
        const Resampled lin = resample(source, linear, c.target);
        // Exact but for positions snapped onto source centres (1e-6 voxel of a ~5 Hz/voxel slope).
        EXPECT_LT(interiorError(source, c.target, lin, kLinear, &n), 1e-5);
        EXPECT_GT(n, c.target.dims.voxels() / 3);  // the test must see most of the grid
        EXPECT_EQ(lin.counts.inside, lin.counts.covered);

        const Resampled quad = resample(source, quadratic, c.target);
        const double error = interiorError(source, c.target, quad, kQuadratic, &n);
        EXPECT_LT(error, quadraticBound(sourceSize) + 1e-9);
        // Nearest-voxel transfer would be off by up to half a voxel of the gradient (> 0.5 Hz
        // here); trilinear stays within the curvature bound, far below that.
        EXPECT_LT(error, 0.1);
    }
}

TEST(FieldResampling, CoverageEdgesAndCopies) {
    const Grid source = makeGrid({10, 8, 6}, {2, 2, 2}, kAxial, {0, 0, 0});
    const std::vector<double> values = sample(source, kLinear);

    // The same grid through float records: an exact copy.
    const Resampled same = resample(source, values, source);
    EXPECT_EQ(same.values, values);
    EXPECT_EQ(same.counts.covered, source.dims.voxels());

    // Moved by 7 mm in x: columns whose centre lies beyond the source's last cell get nothing;
    // the outer half voxel takes the edge value.
    const Grid moved = makeGrid({10, 8, 6}, {2, 2, 2}, kAxial, {7, 0, 0});
    const Resampled r = resample(source, values, moved);
    // Target column i sits at source column i + 3.5: columns 0…6 are covered (up to 10.5 − 0.5).
    EXPECT_EQ(r.counts.covered, std::size_t{7} * 8 * 6);
    for (int k = 0; k < 6; ++k)
        for (int j = 0; j < 8; ++j) {
            for (int i = 7; i < 10; ++i) {
                EXPECT_EQ(r.inside[moved.dims.index(i, j, k)], 0);
                EXPECT_EQ(r.values[moved.dims.index(i, j, k)], 0.0);
            }
            // Column 6 lies at 9.5, in the last source column's outer half: its value.
            EXPECT_NEAR(r.values[moved.dims.index(6, j, k)], values[source.dims.index(9, j, k)],
                        1e-9);
        }

    // Far away: nothing covered.
    const Grid apart = makeGrid({10, 8, 6}, {2, 2, 2}, kAxial, {0, 0, 40});
    EXPECT_EQ(resample(source, values, apart).counts.covered, 0u);
}

TEST(FieldResampling, MaskedNeighboursAreLeftOut) {
    // Inside only where x < 0 (columns 0…4): a voxel between columns 4 and 5 takes column 4's
    // value alone; between 5 and 6 it receives nothing.
    const Grid source = makeGrid({10, 6, 4}, {2, 2, 2}, kAxial, {0, 0, 0});
    std::vector<double> values = sample(source, kLinear);
    std::vector<unsigned char> mask(source.dims.voxels(), 0);
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 6; ++j)
            for (int i = 0; i < 10; ++i) {
                mask[source.dims.index(i, j, k)] = i <= 4 ? 1 : 0;
                if (i > 4) values[source.dims.index(i, j, k)] = 1e6;  // must never leak in
            }
    const Grid target = makeGrid({10, 6, 4}, {2, 2, 2}, kAxial, {0.6, 0, 0});  // +0.3 voxel
    const Resampled r = resample(source, values, target, mask);
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 6; ++j) {
            const double at4 = values[source.dims.index(4, j, k)];
            EXPECT_NEAR(r.values[target.dims.index(4, j, k)], at4, 1e-9);  // 4.3: 70 % inside
            EXPECT_EQ(r.inside[target.dims.index(4, j, k)], 1);
            EXPECT_EQ(r.inside[target.dims.index(5, j, k)], 0);  // 5.3: none inside
            EXPECT_NEAR(r.values[target.dims.index(2, j, k)],
                        kLinear(applyAffine(target.toWorld, 2, j, k)), 1e-9);
        }
    EXPECT_EQ(r.counts.inside, std::size_t{5} * 6 * 4);
}
