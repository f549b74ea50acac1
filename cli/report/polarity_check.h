// Whether the phase-encoding sign in the metadata is the right one, judged from the images.
//
// A wrong sign doubles the distortion instead of removing it, and nothing in the numbers
// shows it. The mean functional image is resampled with the shift map once with the sign that
// was used and once with the opposite sign, and each result is compared with the field map's
// magnitude image on the functional grid. The measure is mutual information: it asks how well
// the grey values of one image predict those of the other, whatever the mapping between them,
// so the different contrast of the two images (even an inverted one) does not matter.
#ifndef ONDRIFT_CLI_REPORT_POLARITY_CHECK_H
#define ONDRIFT_CLI_REPORT_POLARITY_CHECK_H

#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/base/phase_encoding.h"
#include "cli/report/volume.h"

namespace ondrift::cli {

/// `image` resampled along the phase-encoding axis as the plug-in undistorts: the output voxel
/// at coordinate c takes the value at c + s (codes 1, 3, 5) or c − s (codes 2, 4, 6), linearly
/// interpolated, positions beyond an end clamped to it. `shift` lies on the image's grid.
std::vector<float> shiftAlong(const Volume& image, std::span<const float> shift, int direction);

/// Voxels inside the head: above a tenth of the 98th percentile, grown by `grow` voxels.
std::vector<unsigned char> headMask(const Volume& image, int grow);
/// The same with the image's 98th percentile (of its finite values) known already.
std::vector<unsigned char> headMask(const Volume& image, int grow, float percentile98);

/// Normalised mutual information (H(a) + H(b)) / H(a, b) − 1 of two images on the same grid over
/// `mask`, 32 bins between each image's 1st and 99th percentile; NaN when it cannot be computed.
double mutualInformation(const Volume& a, const Volume& b, const std::vector<unsigned char>& mask);

struct PolarityCheck {
    enum class Verdict { NotDone, Consistent, OppositeBetter, Undecided };
    Verdict verdict = Verdict::NotDone;
    std::string reason;  ///< why it was not done, or what the verdict means
    int used = 0;        ///< the direction code the correction used
    double uncorrected = 0;
    double usedScore = 0;
    double oppositeScore = 0;
    std::size_t maskVoxels = 0;

    int better() const {
        return verdict == Verdict::OppositeBetter ? oppositeDirection(used) : used;
    }
    nlohmann::json toJson() const;
};

/// Compares the two signs. `meanEpi`, `shift` (voxels) and `magnitude` lie on the functional
/// grid. Never throws on odd data: an empty mask, NaN or a flat image give NotDone with the
/// reason.
PolarityCheck checkPolarity(const Volume& meanEpi, const Volume& shift, const Volume& magnitude,
                            int used);

}  // namespace ondrift::cli

#endif
