#include "pipeline/kernels/grid_transfer.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

/// Trilinear interpolation of a fine axis from a coarse one whose cells are pairs of it (the
/// identity when the axis was not halved), or with `transpose` its adjoint, the restriction.
AxisTransfer axisTransfer(int fineExtent, int coarseExtent, bool halved, bool transpose) {
    std::vector<std::vector<std::pair<int, double>>> rows(
        static_cast<std::size_t>(transpose ? coarseExtent : fineExtent));
    for (int i = 0; i < fineExtent; ++i) {
        if (!halved) {
            rows[static_cast<std::size_t>(i)].push_back({i, 1.0});
            continue;
        }
        const double u = std::clamp((i - 0.5) / 2, 0.0, static_cast<double>(coarseExtent - 1));
        const int low = static_cast<int>(u);
        const int high = std::min(low + 1, coarseExtent - 1);
        const double t = u - low;
        if (transpose) {
            rows[static_cast<std::size_t>(low)].push_back({i, 1 - t});
            rows[static_cast<std::size_t>(high)].push_back({i, t});
        } else {
            rows[static_cast<std::size_t>(i)].push_back({low, 1 - t});
            rows[static_cast<std::size_t>(i)].push_back({high, t});
        }
    }
    AxisTransfer out;
    out.start.push_back(0);
    for (const auto& row : rows) {
        for (const auto& [index, weight] : row) {
            out.index.push_back(index);
            out.weight.push_back(weight);
        }
        out.start.push_back(static_cast<int>(out.index.size()));
    }
    return out;
}

/// y = the transfer of x along `axis`; x on grid `in`, y on `in` with that axis's extent made
/// the transfer's output extent.
void transferAlong(Dims in, int axis, const AxisTransfer& t, const double* x, double* y, bool add) {
    const int outExtent = static_cast<int>(t.start.size()) - 1;
    Dims out = in;
    (axis == 0 ? out.x : (axis == 1 ? out.y : out.z)) = outExtent;
    const std::size_t rowIn = static_cast<std::size_t>(in.x);
    const std::size_t rowOut = static_cast<std::size_t>(out.x);
    const std::size_t slice = rowOut * static_cast<std::size_t>(out.y);
    forEachRange(out.z, keptRangeWorkers(out.z, slice),
                 [&](unsigned, long long first, long long end) {
                     for (auto k = static_cast<int>(first); k < end; ++k)
                         for (int j = 0; j < out.y; ++j) {
                             double* o = y + out.index(0, j, k);
                             if (axis == 0) {
                                 const double* row = x + in.index(0, j, k);
                                 for (int i = 0; i < outExtent; ++i) {
                                     double sum = 0;
                                     for (int e = t.start[static_cast<std::size_t>(i)];
                                          e < t.start[static_cast<std::size_t>(i) + 1]; ++e)
                                         sum += t.weight[static_cast<std::size_t>(e)] *
                                                row[t.index[static_cast<std::size_t>(e)]];
                                     o[i] = add ? o[i] + sum : sum;
                                 }
                                 continue;
                             }
                             const int at = axis == 1 ? j : k;
                             const int e0 = t.start[static_cast<std::size_t>(at)];
                             const int e1 = t.start[static_cast<std::size_t>(at) + 1];
                             if (e0 == e1) std::fill(o, o + rowOut, 0.0);
                             for (int e = e0; e < e1; ++e) {
                                 const int from = t.index[static_cast<std::size_t>(e)];
                                 const double* row =
                                     x + (axis == 1 ? in.index(0, from, k) : in.index(0, j, from));
                                 const double w = t.weight[static_cast<std::size_t>(e)];
                                 // The first term is added to 0 as the sum starts there, without a
                                 // pass that writes the zeros first.
                                 if (e == e0)
                                     for (std::size_t i = 0; i < rowIn; ++i)
                                         o[i] = 0.0 + w * row[i];
                                 else
                                     for (std::size_t i = 0; i < rowIn; ++i) o[i] += w * row[i];
                             }
                         }
                 });
}

}  // namespace ondrift
