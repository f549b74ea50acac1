// Figures of the pixel shift map on the functional grid: its distribution inside the head and
// the voxels where it folds over.
#ifndef ONDRIFT_CLI_REPORT_SHIFT_FIGURES_H
#define ONDRIFT_CLI_REPORT_SHIFT_FIGURES_H

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/report/volume.h"

namespace ondrift::cli {

/// Where the shift changes by more than this many voxels from one voxel to the next along
/// phase encoding, neighbouring voxels land on the same place or swap order: the pixel-shift
/// method cannot restore the signal there.
constexpr double kFoldOverStep = 0.9;

struct ShiftFigures {
    std::size_t headVoxels = 0;
    std::size_t nonFinite = 0;  ///< NaN or infinite shifts (inside or outside the head)
    std::vector<float> inside;  ///< the finite shifts inside the head
    double p1 = 0, p50 = 0, p99 = 0;
    std::size_t foldOver = 0;
    std::vector<unsigned char> foldOverMask;  ///< on the shift map's grid

    nlohmann::json toJson() const;
};

/// The figures of `shift` (voxels) inside `head` (on its grid); `direction` 1…6 names the
/// phase-encoding axis. Odd input (empty mask, NaN, one slice) gives empty figures, never a
/// fault.
ShiftFigures shiftFigures(const Volume& shift, const std::vector<unsigned char>& head,
                          int direction);

}  // namespace ondrift::cli

#endif
