#include "cli/session/project_io.h"

#include <cstdio>
#include <filesystem>

#include "cli/base/errors.h"
#include "host/project_files.h"

namespace ondrift::cli {

namespace {}  // namespace

void printPosition(const ScannerPositionHeader& p) {
    std::printf("  first slice centre: %.3f %.3f %.3f\n", p.Slice1CenterX, p.Slice1CenterY,
                p.Slice1CenterZ);
    std::printf("  last slice centre:  %.3f %.3f %.3f\n", p.SliceNCenterX, p.SliceNCenterY,
                p.SliceNCenterZ);
    std::printf("  row direction:      %.4f %.4f %.4f\n", p.RowDirX, p.RowDirY, p.RowDirZ);
    std::printf("  column direction:   %.4f %.4f %.4f\n", p.ColDirX, p.ColDirY, p.ColDirZ);
    std::printf("  rows x columns:     %d x %d, field of view %.2f x %.2f mm\n", p.NRows, p.NCols,
                p.FoVRows, p.FoVCols);
    std::printf("  slice thickness:    %.3f mm, gap %.3f mm\n", p.SliceThickness, p.GapThickness);
}

void printProjectInfo(const std::string& path) {
    std::string error;
    const std::string ext = std::filesystem::path(path).extension().string();
    if (ext == ".fmr") {
        const auto doc = standin::readFmrProject(path, error);
        if (!doc) throw InputError(error);
        const FMRHeader& h = doc->header;
        std::printf("%s: FMR project\n", path.c_str());
        std::printf("  dimensions: %d x %d x %d, %d volume%s\n", doc->columns(), doc->rows(),
                    doc->slices(), doc->volumes(), doc->volumes() == 1 ? "" : "s");
        std::printf("  voxel size: %.4f x %.4f x %.4f mm\n", h.voxelSizeX, h.voxelSizeY,
                    h.voxelSizeZ);
        std::printf("  data type: %s\n",
                    doc->dataType() == kFmrFloat32 ? "32-bit float" : "16-bit integer");
        std::printf("  STC file: %s\n", doc->sourceStcFile.string().c_str());
        const std::string amr = standin::fieldText(h.amrFileName, sizeof h.amrFileName);
        std::printf("  linked AMR file: %s\n", amr.empty() ? "(none)" : amr.c_str());
        printPosition(doc->position);
        return;
    }
    if (ext == ".vmr") {
        const auto doc = standin::readVmrProject(path, error);
        if (!doc) throw InputError(error);
        const VMRMainHeader& h = doc->header;
        std::printf("%s: VMR project\n", path.c_str());
        std::printf("  dimensions: %d x %d x %d\n", doc->dimX(), doc->dimY(), doc->dimZ());
        std::printf("  voxel size: %.4f x %.4f x %.4f mm\n", h.voxelSizeX, h.voxelSizeY,
                    h.voxelSizeZ);
        printPosition(doc->position);
        return;
    }
    throw InputError(path + ": not an FMR, VMR or NIfTI file (by its extension)");
}

}  // namespace ondrift::cli
