#include "cli/session/grid_checks.h"

#include <algorithm>

#include "cli/base/reporter.h"

namespace ondrift::cli {

std::array<double, 3> voxelOf(const NiftiGeometry& g, const std::array<double, 3>& w) {
    const Affine& a = g.affine();
    const double m[3][3] = {{a[0], a[1], a[2]}, {a[4], a[5], a[6]}, {a[8], a[9], a[10]}};
    const double d[3] = {w[0] - a[3], w[1] - a[7], w[2] - a[11]};
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    std::array<double, 3> v{};
    for (int c = 0; c < 3; ++c) {
        double k[3][3];
        for (int r = 0; r < 3; ++r)
            for (int q = 0; q < 3; ++q) k[r][q] = q == c ? d[r] : m[r][q];
        const double dc = k[0][0] * (k[1][1] * k[2][2] - k[1][2] * k[2][1]) -
                          k[0][1] * (k[1][0] * k[2][2] - k[1][2] * k[2][0]) +
                          k[0][2] * (k[1][0] * k[2][1] - k[1][1] * k[2][0]);
        v[static_cast<std::size_t>(c)] = dc / det;  // Cramer's rule
    }
    return v;
}

void checkSamplingLattice(const NiftiGeometry& anat, const NiftiGeometry& epi, Reporter& reporter) {
    const auto av = anat.voxelSize();
    const auto ev = epi.voxelSize();
    if (*std::max_element(av.begin(), av.end()) > *std::min_element(ev.begin(), ev.end()) + 1e-3) {
        reporter.warning(
            "the anatomical image's voxels are coarser than the functional image's; "
            "some functional voxels may get no shift");
    }
    const Affine& e = epi.affine();
    for (int corner = 0; corner < 8; ++corner) {
        const double i = (corner & 1) ? epi.nx() - 1 : 0, j = (corner & 2) ? epi.ny() - 1 : 0,
                     k = (corner & 4) ? epi.nz() - 1 : 0;
        const std::array<double, 3> w = {e[0] * i + e[1] * j + e[2] * k + e[3],
                                         e[4] * i + e[5] * j + e[6] * k + e[7],
                                         e[8] * i + e[9] * j + e[10] * k + e[11]};
        const auto v = voxelOf(anat, w);
        const int n[3] = {anat.nx(), anat.ny(), anat.nz()};
        for (int a = 0; a < 3; ++a) {
            if (!(v[static_cast<std::size_t>(a)] > -0.5 &&
                  v[static_cast<std::size_t>(a)] < n[a] - 0.5)) {
                reporter.warning(
                    "the anatomical image does not cover the functional image; voxels "
                    "outside it get no shift");
                return;
            }
        }
    }
}

}  // namespace ondrift::cli
