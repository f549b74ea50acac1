#include "pipeline/field_resampling.h"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/extrapolation.h"
#include "pipeline/kernels/field_resampling.h"
#include "pipeline/step_errors.h"

namespace ondrift {

namespace {

/// The in-plane step along one axis: the record's field of view over its voxel count when the
/// record describes this grid, else the header's voxel size. (A header's voxel size may be the
/// nominal one while the record carries the placement the scanner used.)
double inPlaneStep(float fov, std::int32_t count, std::int32_t dim, float headerSize) {
    if (count == dim && count > 0 && std::isfinite(fov) && fov > 0) {
        return static_cast<double>(fov) / count;
    }
    return static_cast<double>(headerSize);
}

Image refused(std::string* error, const std::string& message) {
    Image none;
    none.setStatus(Failed);
    reportStepError(error, message);
    return none;
}

}  // namespace

std::string placementProblem(const FMRRecord& record, const char* what, Affine34& toWorld) {
    if (!record.header || !record.position) {
        return formatMessage("the %s has no position record", what);
    }
    const FMRHeader& h = *record.header;
    const ScannerPositionHeader& p = *record.position;
    SlicePlacement s;
    s.firstSliceCentre = {p.Slice1CenterX, p.Slice1CenterY, p.Slice1CenterZ};
    s.lastSliceCentre = {p.SliceNCenterX, p.SliceNCenterY, p.SliceNCenterZ};
    s.rowDir = {p.RowDirX, p.RowDirY, p.RowDirZ};
    s.colDir = {p.ColDirX, p.ColDirY, p.ColDirZ};
    s.voxelSize = {inPlaneStep(p.FoVCols, p.NCols, h.columns, h.voxelSizeX),
                   inPlaneStep(p.FoVRows, p.NRows, h.rows, h.voxelSizeY),
                   static_cast<double>(h.voxelSizeZ)};
    switch (voxelToWorld(s, {h.columns, h.rows, h.slices}, toWorld)) {
        case PlacementProblem::None: return {};
        case PlacementProblem::NotFinite:
            return formatMessage(
                "the position record of the %s holds a slice centre, direction or voxel size "
                "that is not a finite number",
                what);
        case PlacementProblem::Singular:
            return formatMessage(
                "the position record of the %s (%d x %d x %d voxels) spans no volume: its "
                "directions or steps are zero or parallel, or its first and last slice centres "
                "coincide",
                what, h.columns, h.rows, h.slices);
    }
    return {};
}

Image resampleOntoFunctionalGrid(const Image& field, const FMRRecord& fieldRecord,
                                 const Image* magnitude, const Image& epi,
                                 const FMRRecord& epiRecord, const char* label,
                                 std::string* error) {
    logText(formatMessage("Resample %s onto the functional grid...", label));
    const Dims source = volumeDims(field);
    const Dims target = volumeDims(epi);
    auto matches = [](const FMRRecord& r, Dims d) {
        return r.header && r.header->columns == d.x && r.header->rows == d.y &&
               r.header->slices == d.z;
    };
    if (!holdsFirstVolume(field) || source.voxels() == 0 || !matches(fieldRecord, source) ||
        !matches(epiRecord, target) || target.voxels() == 0) {
        return refused(error, formatMessage("Stopped resampling: the %s (%d x %d x %d) or the "
                                            "functional image (%d x %d x %d) holds no data "
                                            "matching its project.",
                                            label, source.x, source.y, source.z, target.x, target.y,
                                            target.z));
    }
    Affine34 sourceToWorld{}, targetToWorld{}, worldToSource{};
    std::string problem = placementProblem(fieldRecord, label, sourceToWorld);
    if (problem.empty()) problem = placementProblem(epiRecord, "functional image", targetToWorld);
    if (problem.empty() && invertAffine(sourceToWorld, worldToSource) != PlacementProblem::None) {
        problem = formatMessage("the grid of the %s cannot be inverted", label);
    }
    if (!problem.empty()) return refused(error, "Stopped resampling: " + problem + ".");

    std::vector<unsigned char> sourceInside;
    if (magnitude != nullptr && holdsFirstVolume(*magnitude) && volumeDims(*magnitude) == source) {
        const std::span<const double> m = volumeValues(*magnitude, 0);
        sourceInside.resize(m.size());
        for (std::size_t i = 0; i < m.size(); ++i) {
            sourceInside[i] = m[i] > kMagnitudeThreshold ? 1 : 0;
        }
    }

    std::vector<double> values(target.voxels(), 0.0);
    std::vector<unsigned char> inside(target.voxels(), 0);
    const ResampleCounts counts =
        resampleTrilinear(source, volumeValues(field, 0), sourceInside, target,
                          composeAffine(worldToSource, targetToWorld), values, inside);
    if (counts.covered == 0) {
        return refused(error, formatMessage("Stopped resampling: the functional grid does not "
                                            "overlap the field of view of the %s.",
                                            label));
    }
    if (counts.inside == 0) {
        return refused(error, formatMessage("Stopped resampling: the part of the functional grid "
                                            "inside the %s's field of view lies wholly outside "
                                            "its magnitude mask.",
                                            label));
    }
    const double coveredShare = static_cast<double>(counts.covered) / target.voxels();
    if (counts.covered < target.voxels()) {
        logText(
            formatMessage("Warning: the %s covers %.1f %% of the functional grid; the field "
                          "is extrapolated beyond its field of view.",
                          label, 100.0 * coveredShare));
    }
    logText(formatMessage("Sampled %zu of %zu functional voxels; %zu extrapolated.", counts.inside,
                          target.voxels(), target.voxels() - counts.inside));
    if (counts.inside < target.voxels()) extrapolateOutsideMask(target, values, inside);

    Image out;
    epi.copyHeaderTo(out);
    out.setNrOfVolumes(1);
    out.setName(field.getName());
    out.setData(std::move(values));
    logText(out.statisticsText(formatMessage("%s on the functional grid", label).c_str()));
    return out;
}

}  // namespace ondrift
