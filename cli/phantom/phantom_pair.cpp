#include "cli/phantom/phantom_pair.h"

#include <fstream>

#include "cli/base/phase_encoding.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

PhantomPair makePhantomPair(PhantomOptions options, int direction, int volumes) {
    options.volumes = volumes;
    options.forwardModel = ForwardModel::PileUp;
    options.seriesNoise = kPairNoise;
    // The pair on the field map's own grid.
    options.epiDims = {0, 0, 0};
    PhantomPair pair;
    options.peDirection = direction;
    pair.first = makePhantom(options);
    options.peDirection = oppositeDirection(direction);
    options.noiseSeed += 1000;
    pair.second = makePhantom(options);
    return pair;
}

std::string pairDirectionLabel(int direction) {
    const std::string text = bidsDirection(direction);
    return text.substr(0, 1) + (isPositiveDirection(direction) ? "pos" : "neg");
}

PairFiles writePhantomPair(const PhantomPair& pair, const fs::path& folder,
                           const std::string& prefix, const nlohmann::json& extra, bool gzip) {
    fs::create_directories(folder);
    PairFiles files;
    for (const Phantom* p : {&pair.first, &pair.second}) {
        const int direction = p->options.peDirection;
        const std::string stem = prefix + "_dir-" + pairDirectionLabel(direction) + "_epi";
        const fs::path image = folder / (stem + (gzip ? ".nii.gz" : ".nii"));
        writeNifti(image.string(), p->seriesGeometry, p->options.volumes, p->distorted, nullptr);
        const int nPE = p->options.dims[static_cast<std::size_t>(directionAxis(direction))];
        nlohmann::json sidecar = {{"PhaseEncodingDirection", bidsDirection(direction)},
                                  {"TotalReadoutTime", p->effectiveEchoSpacing() * (nPE - 1)}};
        if (extra.is_object()) sidecar.update(extra);
        std::ofstream(folder / (stem + ".json")) << sidecar.dump(2) << "\n";
        (p == &pair.first ? files.first : files.second) = image;
    }
    return files;
}

}  // namespace ondrift::cli
