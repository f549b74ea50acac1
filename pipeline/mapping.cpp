#include "pipeline/mapping.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "binding/host_api.h"
#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "pipeline/kernels/shift_mapping.h"

namespace ondrift {
namespace {

constexpr const char* kMappedSuffix = "_pixshiftInEPIres";
/// The VMR record keeps its dimensions in 16 bits; larger headers cannot be what was loaded.
constexpr int kMaxVmrDimension = 65535;

void logMatrix(const char* title, const Matrix4& m) { logText(matrixTools().matrixText(title, m)); }

bool positiveFinite(float v) { return std::isfinite(v) && v > 0.0f; }

std::string voxelSizeProblem(const char* what, float x, float y, float z) {
    if (positiveFinite(x) && positiveFinite(y) && positiveFinite(z)) return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "Cannot map the pixel shift map: the voxel size of the %s (%g x %g x %g) is "
                  "not a positive finite number.",
                  what, double(x), double(y), double(z));
    return text;
}

std::string gridProblem(const char* what, int x, int y, int z, int limit) {
    if (x > 0 && y > 0 && z > 0 && x <= limit && y <= limit && z <= limit) return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "Cannot map the pixel shift map: the %s has an unusable grid (%d x %d x %d).",
                  what, x, y, z);
    return text;
}

std::string imageMatchProblem(const char* what, const Image& image, const FMRHeader& header) {
    const bool same = image.getDimX() == header.columns && image.getDimY() == header.rows &&
                      image.getDimZ() == header.slices && image.hasData() &&
                      image.bufferSize() >= image.voxelsPerVolume();
    if (same) return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "Cannot map the pixel shift map: the %s does not hold the %d x %d x %d voxels "
                  "of its project.",
                  what, header.columns, header.rows, header.slices);
    return text;
}

Dims dimsOf(const FMRHeader& h) { return Dims{h.columns, h.rows, h.slices}; }

}  // namespace

Matrix4 sliceOrderFlip(const ScannerPositionHeader& s) {
    const float dx = s.Slice1CenterX - s.SliceNCenterX;
    const float dy = s.Slice1CenterY - s.SliceNCenterY;
    const float dz = s.Slice1CenterZ - s.SliceNCenterZ;
    Matrix4 f;
    setIdentity4(f);
    if (std::fabs(dz) > std::fabs(dx) || std::fabs(dy) > std::fabs(dx)) {
        // Transversal and coronal stacks: the order along z decides (a tie with x counts as x).
        if (dz < 0.0f) f[10] = -1.0f;
    } else if (dx > 0.0f) {
        f[0] = -1.0f;
    }
    return f;
}

void vmrToFmrMatrix(const FMRHeader& header, const ScannerPositionHeader& position,
                    const VMRMainHeader& vmr, const Matrix4& t, const Matrix4& ia, Matrix4& out) {
    Matrix4 r;
    invertRigid4(ia, r);

    const Matrix4 f = sliceOrderFlip(position);
    logMatrix("Flipping matrix, based on slice acquisition order", f);

    Matrix4 si;
    setScaling4(si, 1.0f / header.voxelSizeX, 1.0f / header.voxelSizeY, 1.0f / header.voxelSizeZ);
    logMatrix("FMR inverse scaling matrix", si);

    Matrix4 sv;
    setScaling4(sv, vmr.voxelSizeX, vmr.voxelSizeY, vmr.voxelSizeZ);
    logMatrix("VMR scaling matrix", sv);

    Matrix4 q;
    setIdentity4(q);
    if (t[0] != 1.0f || t[5] != 1.0f || t[10] != 1.0f) {
        logMatrix("Incorporating flip in past VMR transformation", t);
        multiply4(f, t, q);
    }

    Matrix4 m;
    multiply4(f, si, m);
    multiply4(m, r, m);
    multiply4(m, q, m);
    multiply4(m, sv, out);
    logMatrix("Final VMR 2 FMR matrix", out);
}

std::string mappingInputProblem(const VMRRecord& vmr, const Image& onEpiGrid, const FMRRecord& epi,
                                const Image& shifts, const FMRRecord& start) {
    if (vmr.mainHeaderCopy == nullptr) {
        return "Cannot map the pixel shift map: no VMR header was obtained.";
    }
    if (!epi.header || !epi.position || !start.header || !start.position) {
        return "Cannot map the pixel shift map: the EPI or the start project was not obtained.";
    }
    const VMRMainHeader& v = *vmr.mainHeaderCopy;
    const FMRHeader& e = *epi.header;
    const FMRHeader& s = *start.header;
    // Checked first: a zero or undefined size makes the inverse scaling infinite and the
    // rounding of every sample position meaningless.
    for (const std::string& problem :
         {voxelSizeProblem("EPI project", e.voxelSizeX, e.voxelSizeY, e.voxelSizeZ),
          voxelSizeProblem("start project", s.voxelSizeX, s.voxelSizeY, s.voxelSizeZ),
          voxelSizeProblem("VMR", v.voxelSizeX, v.voxelSizeY, v.voxelSizeZ),
          gridProblem("VMR", v.dimX, v.dimY, v.dimZ, kMaxVmrDimension),
          gridProblem("EPI project", e.columns, e.rows, e.slices, 1 << 30),
          gridProblem("start project", s.columns, s.rows, s.slices, 1 << 30),
          imageMatchProblem("EPI image", onEpiGrid, e),
          imageMatchProblem("pixel shift map", shifts, s)}) {
        if (!problem.empty()) return problem;
    }
    return {};
}

bool mapPixelShiftToEPI(const VMRRecord& vmr, Image& mapped, const FMRRecord& epi,
                        const Matrix4& mEpi, const Image& shifts, const FMRRecord& start,
                        const Matrix4& mPhase, const Matrix4& t, std::string& error) {
    error = mappingInputProblem(vmr, mapped, epi, shifts, start);
    if (!error.empty()) return false;
    const VMRMainHeader& v = *vmr.mainHeaderCopy;

    Matrix4 e;
    vmrToFmrMatrix(*epi.header, *epi.position, v, t, mEpi, e);
    logMatrix("Final EPI (*.fmr) to VMR mapping", e);
    // The start project is placed with the EPI's slice positions: both projects share the
    // EPI's slice-order flip.
    Matrix4 p;
    vmrToFmrMatrix(*start.header, *epi.position, v, t, mPhase, p);
    logMatrix("Final pixelshiftmap (*.fmr) to VMR (and FMR 1) mapping", p);

    const Dims anatomy{v.dimX, v.dimY, v.dimZ};
    const Dims target = dimsOf(*epi.header);
    const Dims source = dimsOf(*start.header);
    std::vector<float> scratch(shiftMappingScratchSize(anatomy));
    mapShiftsThroughAnatomy(e, p, anatomy, target, source,
                            std::span<const double>(shifts.getData(), source.voxels()),
                            std::span<double>(mapped.getData(), target.voxels()), scratch);

    const helperTools tools;
    const std::string name =
        tools.baseName(tools.addSuffix(mapped.getName(), kMappedSuffix), false, false);
    saveAsFMR(mapped, name);
    logText(name);
    if (saveAsAMR(mapped, kMappedSuffix)) logText("Also wrote *.amr.");
    host::updateActiveWindow();
    return true;
}

bool runMappingBranch(const VMRRecord& vmr, const FMRRecord& epi, const FMRRecord& start,
                      const Image& epiImage, const Image& pixelShift, Image& mapped,
                      std::string& error) {
    error = mappingInputProblem(vmr, epiImage, epi, pixelShift, start);
    if (error.empty() && (!vmr.position || !vmr.pastTransformations)) {
        error = "Cannot map the pixel shift map: the VMR's position records were not obtained.";
    }
    if (!error.empty()) return false;

    Matrix4 mEpi{};
    Matrix4 unusedT{};
    Matrix4 mPhase{};
    Matrix4 t{};
    float out[6] = {};
    if (host::calculateIAMatrix(epi.position.get(), vmr.position.get(),
                                vmr.pastTransformations.get(), mEpi.data(), unusedT.data(), &out[0],
                                &out[1], &out[2], &out[3], &out[4], &out[5]) <= 0) {
        error = "The host could not relate the EPI project to the VMR.";
        return false;
    }
    logMatrix("Functional data to VMR mapping", mEpi);
    if (host::calculateIAMatrix(start.position.get(), vmr.position.get(),
                                vmr.pastTransformations.get(), mPhase.data(), t.data(), &out[0],
                                &out[1], &out[2], &out[3], &out[4], &out[5]) <= 0) {
        error = "The host could not relate the pixel shift map's project to the VMR.";
        return false;
    }
    logMatrix("Phase data to VMR mapping", mPhase);

    epiImage.copyHeaderTo(mapped);
    mapped.setNrOfVolumes(1);
    mapped.setData(std::vector<double>(mapped.voxelsPerVolume(), 0.0));
    if (!mapPixelShiftToEPI(vmr, mapped, epi, mEpi, pixelShift, start, mPhase, t, error)) {
        mapped.setStatus(Failed);
        return false;
    }
    return true;
}

}  // namespace ondrift
