#include "cli/report/shift_figures.h"

#include <algorithm>
#include <cmath>

#include "cli/base/phase_encoding.h"

namespace ondrift::cli {

ShiftFigures shiftFigures(const Volume& shift, const std::vector<unsigned char>& head,
                          int direction) {
    ShiftFigures f;
    if (shift.empty()) return f;
    f.foldOverMask.assign(shift.voxels(), 0);
    const bool masked = head.size() == shift.voxels();
    for (std::size_t i = 0; i < shift.values.size(); ++i) {
        const float v = shift.values[i];
        if (!std::isfinite(v)) {
            ++f.nonFinite;
            continue;
        }
        if (masked && head[i] != 0) f.inside.push_back(v);
    }
    f.headVoxels = masked ? static_cast<std::size_t>(std::count(head.begin(), head.end(), 1)) : 0;
    if (!f.inside.empty()) {
        const std::vector<float> p = percentilesOf(f.inside, {0.01, 0.50, 0.99});
        f.p1 = p[0];
        f.p50 = p[1];
        f.p99 = p[2];
    }
    if (!isDirectionCode(direction) || !masked) return f;
    const int axis = directionAxis(direction);
    for (int z = 0; z < shift.dims[2]; ++z) {
        for (int y = 0; y < shift.dims[1]; ++y) {
            for (int x = 0; x < shift.dims[0]; ++x) {
                int c[3] = {x, y, z};
                if (c[axis] + 1 >= shift.dims[axis]) continue;
                const std::size_t i = shift.index(x, y, z);
                c[axis] += 1;
                const std::size_t j = shift.index(c[0], c[1], c[2]);
                if (head[i] == 0 && head[j] == 0) continue;
                const float step = shift.values[j] - shift.values[i];
                if (std::isfinite(step) && std::fabs(step) > kFoldOverStep) {
                    f.foldOverMask[i] = 1;
                    f.foldOverMask[j] = 1;
                }
            }
        }
    }
    for (std::size_t i = 0; i < f.foldOverMask.size(); ++i) {
        if (f.foldOverMask[i] != 0 && head[i] != 0) ++f.foldOver;
    }
    return f;
}

nlohmann::json ShiftFigures::toJson() const {
    nlohmann::json j = {{"headVoxels", headVoxels},
                        {"nonFinite", nonFinite},
                        {"foldOverVoxels", foldOver},
                        {"foldOverStep", kFoldOverStep}};
    if (inside.empty()) {
        j["percentiles"] = nullptr;
    } else {
        j["percentiles"] = {{"p1", p1}, {"p50", p50}, {"p99", p99}};
    }
    return j;
}

}  // namespace ondrift::cli
