// The field map in Hz and the brain mask that `ondrift correct` writes under the names
// derivatives use: the field map the shifts came from, the mask the plug-in estimated it in.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "cli/phantom/phantom.h"
#include "phantom_run.h"

namespace ondrift::testing {
namespace {

using nlohmann::json;

TEST(FieldMapDerivatives, TheFieldMapAndItsMaskComeWithTheirSidecar) {
    ScratchFolder scratch("fieldmap-derivatives");
    cli::PhantomOptions o;
    o.dims = {40, 40, 12};
    o.volumes = 1;
    const cli::Phantom phantom = cli::makePhantom(o);
    const cli::PhantomFiles files = cli::writePhantom(phantom, scratch / "in", nullptr);
    const PhantomRun r = correctPhantomFiles(phantom, files, scratch, "phase", {"--no-report"});
    ASSERT_EQ(r.run.exitCode, 0) << r.run.err;

    const json summary = r.summary();
    const json& d = summary["fieldMapDerivatives"];
    EXPECT_EQ(d["fieldMap"], "sub-phantom_desc-ondrift_fieldmap.nii.gz");
    EXPECT_EQ(d["mask"], "sub-phantom_desc-brain_mask.nii.gz");
    const json sidecar = json::parse(readText(r.folder / "sub-phantom_desc-ondrift_fieldmap.json"));
    EXPECT_EQ(sidecar["Units"], "Hz");
    EXPECT_EQ(sidecar["B0FieldIdentifier"], "ondrift_sub_phantom_phasediff");
    EXPECT_EQ(sidecar["IntendedFor"][0], summary["inputs"]["functional"]["path"]);
    EXPECT_EQ(sidecar["Sources"], json::array({summary["inputs"]["phase"]["path"],
                                               summary["inputs"]["magnitude"]["path"]}));

    // The same values as the plug-in's smoothed field map, which the shifts were computed from.
    const cli::NiftiImage hz = cli::readNifti(
        (r.folder / "sub-phantom_desc-ondrift_fieldmap.nii.gz").string(), {}, nullptr);
    const cli::NiftiImage b0 = cli::readNifti(
        (r.folder / "sub-phantom_phasediff_unwrapped2vcyc4its_smoothed_b0_smooth.nii.gz").string(),
        {}, nullptr);
    EXPECT_EQ(hz.data, b0.data);
    // The mask: the magnitude, as the host document holds it, above the plug-in's level.
    const cli::NiftiImage mask =
        cli::readNifti((r.folder / "sub-phantom_desc-brain_mask.nii.gz").string(), {}, nullptr);
    const cli::NiftiImage magnitude = cli::readNifti(files.magnitude, {}, nullptr);
    const float scale = summary["inputs"]["magnitude"]["scale"];
    EXPECT_EQ(mask.dataTypeName, "UINT8");
    ASSERT_EQ(mask.data.size(), magnitude.data.size());
    std::size_t inside = 0, wrong = 0;
    for (std::size_t i = 0; i < mask.data.size(); ++i) {
        inside += mask.data[i] == 1.0f;
        wrong += mask.data[i] != (magnitude.data[i] * scale > 200.0f ? 1.0f : 0.0f);
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(inside, mask.data.size() / 10);

    // From a field map in Hz: that map, and no mask.
    const PhantomRun fromHz =
        correctPhantomFiles(phantom, files, scratch, "hz", {"--no-report", PhantomStart::FieldMap});
    ASSERT_EQ(fromHz.run.exitCode, 0) << fromHz.run.err;
    const cli::NiftiImage given = cli::readNifti(files.fieldmap, {}, nullptr);
    EXPECT_EQ(cli::readNifti((fromHz.folder / "sub-phantom_desc-ondrift_fieldmap.nii.gz").string(),
                             {}, nullptr)
                  .data,
              given.data);
    EXPECT_FALSE(std::filesystem::exists(fromHz.folder / "sub-phantom_desc-brain_mask.nii.gz"));
}

}  // namespace
}  // namespace ondrift::testing
