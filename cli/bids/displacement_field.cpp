#include "cli/bids/displacement_field.h"

#include <cstdio>
#include <cstring>

#include "cli/base/errors.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/bids/bids_entities.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_internal.h"

namespace ondrift::cli {

using nlohmann::json;

std::vector<float> displacementFieldLps(const NiftiGeometry& grid, std::span<const float> shift,
                                        int code) {
    const std::size_t n = grid.voxelsPerVolume();
    if (code < 1 || code > 6 || n == 0 || shift.size() != n) return {};
    const auto axis = static_cast<std::size_t>((code - 1) / 2);
    const double sign = code % 2 == 1 ? 1.0 : -1.0;
    const std::size_t dims[3] = {static_cast<std::size_t>(grid.nx()),
                                 static_cast<std::size_t>(grid.ny()),
                                 static_cast<std::size_t>(grid.nz())};
    const std::size_t stride = axis == 0 ? 1 : (axis == 1 ? dims[0] : dims[0] * dims[1]);
    const double last = static_cast<double>(dims[axis] - 1);
    const Affine& a = grid.affine();
    // One voxel step along the phase-encoding axis, in world mm; RAS → LPS negates x and y.
    const double step[3] = {-a[axis], -a[4 + axis], a[8 + axis]};
    std::vector<float> field(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        // Beyond either end of the axis the undistortion takes the end voxel: the field points
        // at its centre, so that any reader (ITK gives 0 outside the image) samples the same.
        const double own = static_cast<double>((i / stride) % dims[axis]);
        const double target = own + sign * static_cast<double>(shift[i]);
        const double moved =
            target < 0.0 ? -own : (target > last ? last - own : target - own);  // NaN stays
        for (std::size_t c = 0; c < 3; ++c) field[c * n + i] = static_cast<float>(moved * step[c]);
    }
    return field;
}

void writeDisplacementField(const std::filesystem::path& path, const NiftiGeometry& grid,
                            std::span<const float> field) {
    const std::string name = path.string();
    if (!grid.valid() || field.size() != 3 * grid.voxelsPerVolume()) {
        throw ProcessingError(name + ": internal error: the field does not fit the grid");
    }
    NiftiImagePtr nim(nifti_copy_nim_info(grid.header()->nim));
    if (!nim) throw ProcessingError(name + ": out of memory");
    // X×Y×Z×1×3: the fifth dimension holds the vector, as ITK expects of a displacement field.
    nim->dim[0] = 5;
    nim->dim[4] = 1;
    nim->dim[5] = 3;
    nim->dim[6] = nim->dim[7] = 1;
    nim->pixdim[4] = 0.0f;
    if (nifti_update_dims_from_array(nim.get()) != 0) {
        throw ProcessingError(name + ": internal error: invalid field dimensions");
    }
    nim->datatype = NIFTI_TYPE_FLOAT32;
    nifti_datatype_sizes(nim->datatype, &nim->nbyper, &nim->swapsize);
    nim->scl_slope = 1.0f;
    nim->scl_inter = 0.0f;
    nim->cal_min = nim->cal_max = 0.0f;
    nim->intent_code = NIFTI_INTENT_VECTOR;
    nim->intent_p1 = nim->intent_p2 = nim->intent_p3 = 0.0f;
    std::snprintf(nim->intent_name, sizeof nim->intent_name, "%s", "disp LPS mm");
    std::snprintf(nim->descrip, sizeof nim->descrip, "%s", "ondrift displacement field");
    nim->byteorder = nifti_short_order();
    nim->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    nim->data = nullptr;
    if (nifti_set_filenames(nim.get(), name.c_str(), 0, 1) != 0) {
        throw ProcessingError(name + ": cannot form the output file name");
    }
    nifti_set_iname_offset(nim.get());
    nifti_set_debug_level(0);
    znzFile fp = nifti_image_write_hdr_img(nim.get(), 2, "wb");
    if (znz_isnull(fp)) throw ProcessingError(name + ": cannot create the file");
    const bool written = znzwrite(field.data(), sizeof(float), field.size(), fp) == field.size();
    const int closed = znzclose(fp);
    if (!written || closed != 0) {
        std::remove(name.c_str());
        throw ProcessingError(name + ": writing failed (disk full?)");
    }
}

std::string transformFileName(const std::string& boldStem, const std::string& extension) {
    std::string base = boldStem;
    if (const auto parsed = parseBidsName(boldStem + extension)) {
        base.clear();
        for (const auto& [key, value] : parsed->entities) {
            // A description of the source would name the transform wrongly.
            if (key == "desc") continue;
            base += (base.empty() ? "" : "_") + key + "-" + value;
        }
        if (base.empty()) base = boldStem;
    }
    return base + kTransformEntities + extension;
}

json displacementFieldSidecar(int code, const json& sources, bool modulated) {
    const std::string direction = bidsDirection(code);
    const bool positive = code % 2 == 1;
    return {{"Description",
             "Displacement field of the distortion correction: resampling the distorted series "
             "through it (ITK DisplacementFieldTransform, ResampleImageFilter) gives the corrected "
             "series."},
            {"Format", "ITK displacement field"},
            {"Units", "mm"},
            {"CoordinateSystem", "LPS"},
            {"FromSpace", "distorted"},
            {"ToSpace", "undistorted"},
            {"Convention",
             "X x Y x Z x 1 x 3 float32, NIfTI intent vector, on the functional series' grid. Each "
             "voxel holds the displacement (x, y, z in ITK's LPS convention: RAS with x and y "
             "negated) from its own position to the position sampled in the distorted series."},
            {"ShiftMapConvention",
             {{"Units", "voxels"},
              {"PhaseEncodingDirection", direction},
              {"Sign", std::string("the corrected voxel n takes the distorted series at n ") +
                           (positive ? "+" : "-") + " s along the voxel axis " +
                           direction.substr(0, 1) +
                           " of the functional grid: a positive shift moved the signal toward " +
                           (positive ? "higher" : "lower") + " indices on that axis"}}},
            {"IntensityModulation",
             modulated ? "the corrected series was also multiplied by the local stretch of the "
                         "shift map; the field carries only the resampling"
                       : "none"},
            {"Sources", sources}};
}

json writeCorrectionTransform(const std::filesystem::path& folder, const NiftiGeometry& grid,
                              std::span<const float> shift, int code, bool modulated,
                              const std::string& boldStem, const std::string& extension,
                              const json& sources, Reporter& reporter) {
    const std::vector<float> field = displacementFieldLps(grid, shift, code);
    if (field.empty()) {
        reporter.warning(
            "no shift map on the functional grid was saved; the displacement field "
            "is not written");
        return nullptr;
    }
    const std::string name = transformFileName(boldStem, extension);
    reporter.detail("Writing " + name);
    writeDisplacementField(folder / name, grid, field);
    const std::string sidecar = name.substr(0, name.size() - extension.size()) + ".json";
    writeFileAtomically(folder / sidecar,
                        displacementFieldSidecar(code, sources, modulated).dump(2) + "\n");
    return {{"file", name},
            {"sidecar", sidecar},
            {"units", "mm"},
            {"coordinateSystem", "LPS"},
            {"maps",
             "each voxel of the corrected series to the position sampled in the "
             "distorted series"}};
}

}  // namespace ondrift::cli
