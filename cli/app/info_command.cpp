// `ondrift info FILE`: the header of a NIfTI, FMR or VMR file.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/app/commands.h"
#include "cli/base/errors.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"
#include "cli/session/project_io.h"
#include "cli/session/scanner_position.h"

namespace ondrift::cli {

namespace {

void printAffine(const Affine& a) {
    for (int r = 0; r < 3; ++r) {
        std::printf("  %s[%10.4f %10.4f %10.4f %10.4f ]\n", r == 0 ? "affine: " : "        ",
                    a[static_cast<std::size_t>(4 * r)], a[static_cast<std::size_t>(4 * r + 1)],
                    a[static_cast<std::size_t>(4 * r + 2)], a[static_cast<std::size_t>(4 * r + 3)]);
    }
}

int infoNifti(const std::string& path) {
    const NiftiImage image = readNiftiHeader(path);
    const NiftiGeometry& g = image.geometry;
    std::printf("%s: NIfTI-1\n", path.c_str());
    std::printf("  dimensions: %d x %d x %d, %d volume%s\n", g.nx(), g.ny(), g.nz(), g.nt(),
                g.nt() == 1 ? "" : "s");
    std::printf("  voxel size: %.4f x %.4f x %.4f mm\n", g.voxelSize()[0], g.voxelSize()[1],
                g.voxelSize()[2]);
    if (g.repetitionTime() > 0) std::printf("  repetition time: %.4f s\n", g.repetitionTime());
    std::printf("  data type: %s\n", image.dataTypeName.c_str());
    std::printf("  qform code: %d, sform code: %d\n", g.qformCode(), g.sformCode());
    printAffine(g.affine());
    std::printf("  position record derived for the host:\n");
    printPosition(positionFromGeometry(g));
    if (auto sidecar = readSidecarFor(path)) {
        std::printf("  sidecar %s:\n", sidecar->path.c_str());
        for (const auto& [key, value] : sidecar->fields.items()) {
            std::printf("    %s: %s\n", key.c_str(), value.dump().c_str());
        }
    }
    return kExitSuccess;
}

}  // namespace

int runInfo(const InfoOptions& options, Reporter& /*reporter*/) {
    const std::string& path = options.file;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw InputError(path + ": no such file");
    if (hasNiftiExtension(path)) return infoNifti(path);
    printProjectInfo(path);
    return kExitSuccess;
}

}  // namespace ondrift::cli
