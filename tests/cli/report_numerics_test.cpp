// The report's faster helpers against their plain definitions: percentiles by bucket selection
// against a full sort, the head mask's growth by distance passes against growing voxel by
// voxel, the middle of a mask from its rows, and the resampling of one plane against the
// whole volume's. The report must show the same numbers and pixels either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "cli/report/polarity_check.h"
#include "cli/report/slice_pictures.h"
#include "cli/report/volume.h"

using namespace ondrift::cli;

namespace {

// Nearest rank over the finite values, by sorting them all.
float sortedPercentile(std::vector<float> values, double fraction) {
    std::erase_if(values, [](float v) { return !std::isfinite(v); });
    if (values.empty()) return 0.0f;
    std::sort(values.begin(), values.end());
    const double f = std::clamp(fraction, 0.0, 1.0);
    return values[static_cast<std::size_t>(f * static_cast<double>(values.size() - 1) + 0.5)];
}

// Six-neighbour growth one step at a time, as the mask was first grown.
std::vector<unsigned char> grownStepwise(const Volume& grid, std::vector<unsigned char> mask,
                                         int steps) {
    for (int step = 0; step < steps; ++step) {
        std::vector<unsigned char> next = mask;
        for (int z = 0; z < grid.dims[2]; ++z)
            for (int y = 0; y < grid.dims[1]; ++y)
                for (int x = 0; x < grid.dims[0]; ++x) {
                    if (mask[grid.index(x, y, z)] == 0) continue;
                    const int c[3] = {x, y, z};
                    for (int a = 0; a < 3; ++a)
                        for (int d : {-1, 1}) {
                            int n[3] = {c[0], c[1], c[2]};
                            n[a] += d;
                            if (n[a] < 0 || n[a] >= grid.dims[a]) continue;
                            next[grid.index(n[0], n[1], n[2])] = 1;
                        }
                }
        mask.swap(next);
    }
    return mask;
}

// A noisy blob with holes and a few bright specks far from it: a head and noise around it.
Volume blobs(std::array<int, 3> dims, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(0.0f, 1.0f);
    Volume v;
    v.dims = dims;
    v.affine = {2, 0, 0, 5, 0, 2, 0, -3, 0, 0, 3, 7, 0, 0, 0, 1};
    v.values.resize(v.voxels());
    for (int z = 0; z < dims[2]; ++z)
        for (int y = 0; y < dims[1]; ++y)
            for (int x = 0; x < dims[0]; ++x) {
                const double dx = (x - dims[0] * 0.45) / (dims[0] * 0.3 + 0.5);
                const double dy = (y - dims[1] * 0.55) / (dims[1] * 0.3 + 0.5);
                const double dz = (z - dims[2] * 0.5) / (dims[2] * 0.35 + 0.5);
                const bool inside = dx * dx + dy * dy + dz * dz < 1 && noise(random) > 0.05f;
                const bool speck = noise(random) > 0.995f;
                v.values[v.index(x, y, z)] =
                    inside || speck ? 100 + 50 * noise(random) : 5 * noise(random);
            }
    return v;
}

}  // namespace

TEST(ReportNumerics, PercentilesAreTheNearestRankOfTheSortedValues) {
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    std::mt19937 random(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<std::vector<float>> cases;
    // Wide-ranging signed values with NaN and infinities among them.
    std::vector<float> wide;
    for (int i = 0; i < 200000; ++i) {
        const float v = normal(random) * std::pow(10.0f, normal(random));
        wide.push_back(i % 997 == 0 ? kNaN : i % 1999 == 0 ? -kInf : i % 2003 == 0 ? kInf : v);
    }
    cases.push_back(wide);
    // An image-like mix: most values one background level, a bright part packed close together.
    std::vector<float> packed(150000, 0.0f);
    for (std::size_t i = 0; i < packed.size(); i += 3) packed[i] = 1000.0f + 1e-3f * normal(random);
    cases.push_back(packed);
    cases.push_back({-0.0f, 0.0f, -0.0f, 3.0f, -2.0f});
    cases.push_back({42.0f});
    cases.push_back({kNaN, kInf});
    cases.push_back({});
    const std::vector<double> fractions = {0.99, 0.01, 0.5, 0.0, 1.0, -0.3, 1.7, 0.98, 0.98};
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const std::vector<float> got = percentilesOf(cases[c], fractions);
        ASSERT_EQ(got.size(), fractions.size());
        for (std::size_t i = 0; i < fractions.size(); ++i) {
            EXPECT_EQ(got[i], sortedPercentile(cases[c], fractions[i]))
                << "case " << c << ", fraction " << fractions[i];
        }
    }
}

TEST(ReportNumerics, GrowingTheHeadMaskReachesWhatGrowingStepByStepReaches) {
    const std::array<int, 3> shapes[] = {{23, 17, 9}, {40, 31, 1}, {1, 12, 10}, {5, 1, 1}};
    for (const auto& dims : shapes) {
        const Volume image = blobs(dims, static_cast<unsigned>(dims[0] * 31 + dims[2]));
        const std::vector<unsigned char> base = headMask(image, 0);
        ASSERT_GT(std::count(base.begin(), base.end(), 1), 0);
        for (int steps : {1, 2, 4, 7, 300}) {
            EXPECT_EQ(headMask(image, steps), grownStepwise(image, base, steps))
                << dims[0] << "x" << dims[1] << "x" << dims[2] << ", " << steps << " steps";
        }
    }
}

TEST(ReportNumerics, MiddleIndexIsTheMiddleOfTheMasksExtent) {
    const Volume image = blobs({29, 21, 11}, 3);
    const std::vector<unsigned char> mask = headMask(image, 0);
    // Only a corner set, and nothing set: the extent, then the volume's middle.
    std::vector<unsigned char> corner(image.voxels(), 0);
    corner[image.index(28, 3, 10)] = 1;
    corner[image.index(20, 0, 6)] = 1;
    const std::vector<unsigned char> empty(image.voxels(), 0);
    const std::vector<const std::vector<unsigned char>*> masks = {&mask, &corner, &empty};
    for (const std::vector<unsigned char>* m : masks) {
        int lo[3] = {99, 99, 99}, hi[3] = {-1, -1, -1};
        for (int z = 0; z < image.dims[2]; ++z)
            for (int y = 0; y < image.dims[1]; ++y)
                for (int x = 0; x < image.dims[0]; ++x) {
                    if ((*m)[image.index(x, y, z)] == 0) continue;
                    const int c[3] = {x, y, z};
                    for (int a = 0; a < 3; ++a) {
                        lo[a] = std::min(lo[a], c[a]);
                        hi[a] = std::max(hi[a], c[a]);
                    }
                }
        const auto expected = [&](int a) {
            return hi[a] < lo[a] ? (image.dims[a] - 1) / 2 : (lo[a] + hi[a]) / 2;
        };
        EXPECT_EQ(middleIndex(image, Plane::JK, *m), expected(0));
        EXPECT_EQ(middleIndex(image, Plane::IK, *m), expected(1));
        EXPECT_EQ(middleIndex(image, Plane::IJ, *m), expected(2));
    }
}

TEST(ReportNumerics, ResamplingOnePlaneGivesThePlaneOfTheResampledVolume) {
    const Volume image = blobs({19, 23, 13}, 11);
    Volume shift = image;
    for (std::size_t i = 0; i < shift.values.size(); ++i) {
        shift.values[i] = 3.5f * std::sin(0.37f * static_cast<float>(i));
    }
    shift.values[40] = std::numeric_limits<float>::quiet_NaN();
    for (int direction = 1; direction <= 6; ++direction) {
        const Plane plane = direction >= 5 ? Plane::IK : Plane::IJ;
        const int fixedAxis = plane == Plane::IJ ? 2 : 1;
        Volume whole = image;
        whole.values = shiftAlong(image, shift.values, direction);
        for (int index : {0, 5, image.dims[fixedAxis] - 1}) {
            Volume part = slabOf(image, fixedAxis, index);
            part.values = shiftAlong(part, slabOf(shift, fixedAxis, index).values, direction);
            EXPECT_EQ(extractSlice(part, plane, 0).values, extractSlice(whole, plane, index).values)
                << "direction " << direction << ", index " << index;
        }
    }
    // The slab keeps its place in the world.
    const Volume slab = slabOf(image, 1, 6);
    EXPECT_EQ(slab.dims, (std::array<int, 3>{19, 1, 13}));
    EXPECT_DOUBLE_EQ(slab.affine[7], image.affine[7] + 6 * image.affine[5]);
    EXPECT_EQ(slab.at(4, 0, 9), image.at(4, 6, 9));
    EXPECT_EQ(slabOf(image, 0, 99).at(0, 2, 3), image.at(18, 2, 3));  // clamped to the volume
}

TEST(ReportNumerics, TheMeanOfASeriesIsThePlainLoopsOnEveryThreadCount) {
    // Large enough to be shared out among threads; values that round differently when summed
    // in another order.
    constexpr std::size_t kVoxels = 300007;
    constexpr std::size_t kVolumes = 5;
    std::mt19937 random(5);
    std::lognormal_distribution<float> spread(0.0f, 3.0f);
    std::vector<float> series(kVoxels * kVolumes + 11);  // a partial volume at the end
    for (float& v : series) v = spread(random) * (random() % 2 == 0 ? 1.0f : -1.0f);
    const std::vector<float> mean = meanOfVolumes(series, kVoxels);
    ASSERT_EQ(mean.size(), kVoxels);
    for (std::size_t i = 0; i < kVoxels; ++i) {
        double sum = 0;
        for (std::size_t t = 0; t < kVolumes; ++t) sum += series[t * kVoxels + i];
        ASSERT_EQ(mean[i], static_cast<float>(sum / kVolumes)) << "voxel " << i;
    }
    EXPECT_TRUE(meanOfVolumes(std::span<const float>(series).first(kVoxels - 1), kVoxels).empty());
    EXPECT_TRUE(meanOfVolumes(series, 0).empty());
}
