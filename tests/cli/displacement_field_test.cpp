// The displacement field `ondrift correct` writes, read as outside tools read it: by a
// trilinear resampler written here against the NIfTI library alone (world positions from the
// file's own header, vectors taken as LPS, 0 beyond the grid), and by ITK's
// DisplacementFieldTransform with ResampleImageFilter. Both must reproduce the corrected series
// inside the head, also where the shifts reach beyond the field of view.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/bids/displacement_field.h"
#include "cli/phantom/phantom.h"
#include "phantom_run.h"

extern "C" {
#include <nifti1_io.h>
}

namespace ondrift::testing {
namespace {

using cli::Phantom;
using cli::PhantomOptions;
using nlohmann::json;

struct NiftiDeleter {
    void operator()(nifti_image* p) const { nifti_image_free(p); }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiDeleter>;

NiftiPtr readRaw(const std::string& path) {
    NiftiPtr image(nifti_image_read(path.c_str(), 1));
    if (!image || image->datatype != NIFTI_TYPE_FLOAT32 ||
        (image->scl_slope != 0.0f && image->scl_slope != 1.0f)) {
        ADD_FAILURE() << path << ": not a plain float32 NIfTI image";
        return nullptr;
    }
    return image;
}

std::array<double, 3> apply(const mat44& m, double i, double j, double k) {
    std::array<double, 3> w{};
    for (int r = 0; r < 3; ++r) w[r] = m.m[r][0] * i + m.m[r][1] * j + m.m[r][2] * k + m.m[r][3];
    return w;
}

/// The first volume of `image` at voxel position (i, j, k), trilinearly; 0 beyond the grid (as
/// ITK's resampling gives), within a rounding tolerance at its edges.
double trilinear(const nifti_image& image, const std::array<double, 3>& p) {
    const int n[3] = {image.nx, image.ny, image.nz};
    int lo[3];
    double f[3];
    for (int a = 0; a < 3; ++a) {
        if (p[a] < -1e-3 || p[a] > n[a] - 1 + 1e-3) return 0.0;
        const double c = std::clamp(p[a], 0.0, static_cast<double>(n[a] - 1));
        lo[a] = std::min(static_cast<int>(std::floor(c)), std::max(n[a] - 2, 0));
        f[a] = c - lo[a];
    }
    const auto* v = static_cast<const float*>(image.data);
    double sum = 0;
    for (int corner = 0; corner < 8; ++corner) {
        double w = 1;
        std::size_t index = 0, stride = 1;
        for (int a = 0; a < 3; ++a) {
            const int up = (corner >> a) & 1;
            w *= up ? f[a] : 1.0 - f[a];
            index += static_cast<std::size_t>(std::min(lo[a] + up, n[a] - 1)) * stride;
            stride *= static_cast<std::size_t>(n[a]);
        }
        sum += w * v[index];
    }
    return sum;
}

/// RMS of (a − b) over the RMS of b inside the mask, first volumes.
double relativeRms(std::span<const float> a, std::span<const float> b,
                   const std::vector<unsigned char>& mask) {
    double diff = 0, ref = 0;
    for (std::size_t v = 0; v < mask.size(); ++v) {
        if (mask[v] == 0) continue;
        diff += (a[v] - b[v]) * (a[v] - b[v]);
        ref += b[v] * b[v];
    }
    return std::sqrt(diff / ref);
}

struct Case {
    const char* name;
    PhantomOptions options;
};

std::vector<Case> cases() {
    PhantomOptions j;
    j.dims = {40, 40, 12};
    j.volumes = 2;
    j.peDirection = 3;
    // Rotated and stored mirrored, phase encoding toward lower j: the vector's direction and
    // sign both come from the grid.
    PhantomOptions tilted = j;
    tilted.peDirection = 4;
    tilted.tiltDegrees = 20;
    tilted.flipI = true;
    PhantomOptions alongI = j;
    alongI.peDirection = 1;
    alongI.dims = {40, 36, 12};
    PhantomOptions alongK = j;
    alongK.peDirection = 6;
    alongK.dims = {32, 32, 28};
    alongK.effectiveEchoSpacing = 0.0008;
    return {{"j", j}, {"j-tilted-flipped", tilted}, {"i", alongI}, {"k-", alongK}};
}

TEST(DisplacementField, ResamplingTheDistortedSeriesThroughItGivesTheCorrectedSeries) {
    ScratchFolder scratch("displacement");
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const Phantom phantom = cli::makePhantom(c.options);
        const PhantomRun r = correctPhantom(phantom, scratch, c.name, {"--no-report"});
        ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
        const std::string name = cli::transformFileName("sub-phantom_task-rest_bold", ".nii.gz");
        EXPECT_EQ(name,
                  "sub-phantom_task-rest_from-distorted_to-undistorted_mode-image_xfm.nii.gz");
        const std::string fieldPath = (r.folder / name).string();
        const json sidecar =
            json::parse(readText(r.folder / (name.substr(0, name.size() - 7) + ".json")));
        EXPECT_EQ(sidecar["CoordinateSystem"], "LPS");
        EXPECT_EQ(sidecar["Units"], "mm");
        EXPECT_EQ(sidecar["IntensityModulation"], "none");
        EXPECT_EQ(r.summary()["displacementField"]["file"], name);

        const NiftiPtr field = readRaw(fieldPath);
        const NiftiPtr distorted = readRaw(
            (scratch.path() / (std::string(c.name) + "-in") / "sub-phantom_task-rest_bold.nii.gz")
                .string());
        ASSERT_TRUE(field && distorted);
        // The layout ITK reads as a displacement field.
        EXPECT_EQ(field->ndim, 5);
        EXPECT_EQ(field->dim[4], 1);
        EXPECT_EQ(field->dim[5], 3);
        EXPECT_EQ(field->intent_code, NIFTI_INTENT_VECTOR);
        ASSERT_EQ(field->nx, distorted->nx);
        ASSERT_EQ(field->ny, distorted->ny);
        ASSERT_EQ(field->nz, distorted->nz);

        const mat44 fieldToWorld = field->sform_code > 0 ? field->sto_xyz : field->qto_xyz;
        const mat44 worldToSeries =
            distorted->sform_code > 0 ? distorted->sto_ijk : distorted->qto_ijk;
        const std::size_t n = static_cast<std::size_t>(field->nx) * field->ny * field->nz;
        const auto* d = static_cast<const float*>(field->data);
        std::vector<float> resampled(n);
        double largest = 0;
        for (int k = 0, v = 0; k < field->nz; ++k) {
            for (int jj = 0; jj < field->ny; ++jj) {
                for (int i = 0; i < field->nx; ++i, ++v) {
                    const auto u = static_cast<std::size_t>(v);
                    const std::array<double, 3> w = apply(fieldToWorld, i, jj, k);
                    // LPS → RAS: x and y turn round.
                    const std::array<double, 3> moved = {w[0] - d[u], w[1] - d[n + u],
                                                         w[2] + d[2 * n + u]};
                    largest = std::max(
                        largest, std::hypot(double{d[u]}, double{d[n + u]}, double{d[2 * n + u]}));
                    resampled[u] = static_cast<float>(
                        trilinear(*distorted, apply(worldToSeries, moved[0], moved[1], moved[2])));
                }
            }
        }
        // Every voxel, not only the head: the field is the whole correction.
        const std::vector<unsigned char> everywhere(n, 1);
        EXPECT_GT(largest, 3.0) << "the field should move voxels by millimetres";
        const double rms = relativeRms(resampled, r.corrected.volume(0), everywhere);
        std::printf("  %s: independent trilinear reader vs corrected series: %.2e RMS\n", c.name,
                    rms);
        EXPECT_LT(rms, 0.01);

#ifdef ONDRIFT_ITK_RESAMPLE
        const std::string itkOut = scratch / (std::string(c.name) + "-itk.nii.gz");
        const std::string command =
            std::string("\"") + ONDRIFT_ITK_RESAMPLE + "\" \"" +
            (scratch.path() / (std::string(c.name) + "-in") / "sub-phantom_task-rest_bold.nii.gz")
                .string() +
            "\" \"" + fieldPath + "\" \"" + itkOut + "\"";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const cli::NiftiImage itk = cli::readNifti(itkOut, {}, nullptr);
        const double itkRms = relativeRms(itk.data, r.corrected.volume(0), everywhere);
        std::printf("  %s: ITK's resampling vs corrected series: %.2e RMS\n", c.name, itkRms);
        EXPECT_LT(itkRms, 0.01);
#endif
    }
#ifndef ONDRIFT_ITK_RESAMPLE
    std::printf("  built without ITK: only the independent reader was checked\n");
#endif
}

}  // namespace
}  // namespace ondrift::testing
