// The distance passes against a breadth-first search from the mask, on grids one voxel thin
// along each axis, with masks from a single corner voxel to scattered islands, in 16 and 32
// bits, and shared among several blocks of rows on a grid large enough to be threaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "pipeline/kernels/city_block_distances.h"
#include "pipeline/kernels/parallel_ranges.h"

using namespace ondrift;

namespace {

std::vector<int> searchedDistances(Dims d, const std::vector<unsigned char>& inside) {
    std::vector<int> dist(d.voxels(), -1);
    std::deque<std::size_t> queue;
    for (std::size_t v = 0; v < inside.size(); ++v)
        if (inside[v] != 0) dist[v] = 0, queue.push_back(v);
    while (!queue.empty()) {
        const std::size_t v = queue.front();
        queue.pop_front();
        const int c[3] = {static_cast<int>(v % d.x), static_cast<int>(v / d.x % d.y),
                          static_cast<int>(v / (static_cast<std::size_t>(d.x) * d.y))};
        for (int e = 0; e < 6; ++e) {
            int n[3] = {c[0], c[1], c[2]};
            n[e / 2] += e % 2 == 0 ? -1 : 1;
            if (n[0] < 0 || n[1] < 0 || n[2] < 0 || n[0] >= d.x || n[1] >= d.y || n[2] >= d.z)
                continue;
            const std::size_t w = d.index(n[0], n[1], n[2]);
            if (dist[w] >= 0) continue;
            dist[w] = dist[v] + 1;
            queue.push_back(w);
        }
    }
    return dist;
}

/// Runs the passes and checks distances, the largest one and every block's shell counts.
template <typename Dist>
void expectSearched(Dims d, const std::vector<unsigned char>& inside, unsigned blocks) {
    std::vector<Dist> dist(d.voxels());
    ShellTally tally;
    const std::size_t known = cityBlockDistances(d, inside.data(), dist.data(), blocks, 8, tally);
    const auto inMask = static_cast<std::size_t>(std::count(inside.begin(), inside.end(), 1));
    ASSERT_EQ(known, inMask);
    if (known == 0 || known == d.voxels()) return;
    const std::vector<int> expected = searchedDistances(d, inside);
    for (std::size_t v = 0; v < expected.size(); ++v) ASSERT_EQ(dist[v], expected[v]) << v;
    EXPECT_EQ(tally.far, *std::max_element(expected.begin(), expected.end()));
    ASSERT_EQ(tally.rows.front(), 0);
    ASSERT_EQ(tally.rows.back(), d.y);
    for (int k = 0; k < d.z; ++k)
        for (std::size_t b = 0; b < tally.blocks(); ++b)
            for (int t = 1; t <= 8; ++t) {
                std::size_t count = 0;
                for (int j = tally.rows[b]; j < tally.rows[b + 1]; ++j)
                    for (int i = 0; i < d.x; ++i) count += expected[d.index(i, j, k)] == t;
                ASSERT_EQ(tally.at(k, b, t), count) << k << " " << b << " " << t;
            }
}

}  // namespace

TEST(CityBlockDistances, EqualASearchFromTheMaskOnThinGridsAndScatteredMasks) {
    std::mt19937 random(5);
    const Dims shapes[] = {{1, 1, 9}, {1, 13, 1},  {17, 1, 1}, {1, 6, 7},
                           {9, 1, 5}, {12, 10, 7}, {33, 4, 3}};
    for (const Dims& d : shapes)
        for (const unsigned oneIn : {1u, 3u, 40u, 0u}) {
            std::vector<unsigned char> inside(d.voxels(), 0);
            if (oneIn == 0) {
                inside.back() = 1;  // a corner: the largest distances the grid holds
            } else {
                for (auto& in : inside) in = random() % oneIn == 0 ? 1 : 0;
            }
            for (const unsigned blocks : {1u, 3u}) {
                expectSearched<std::int16_t>(d, inside, blocks);
                expectSearched<std::int32_t>(d, inside, blocks);
            }
        }
}

TEST(CityBlockDistances, SharedAmongThreadsOnALargeGridWithAHeadAndNoise) {
    const Dims d{75, 61, 59};  // more than 2^18 voxels
    std::mt19937 random(9);
    std::vector<unsigned char> inside(d.voxels(), 0);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double u = (i - 20.0) / 17.0, v = (j - 30.0) / 21.0, w = (k - 25.0) / 15.0;
                const bool head = u * u + v * v + w * w < 1.0;
                inside[d.index(i, j, k)] = head ? random() % 9 != 0 : random() % 3000 == 0;
            }
    for (const unsigned threads : {1u, 4u}) {
        setWorkerThreads(threads);
        expectSearched<std::int16_t>(d, inside, threads);
    }
    setWorkerThreads(0);
}
