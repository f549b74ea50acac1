// NIfTI reading and writing: data types and scaling, geometry, and every refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "cli/base/errors.h"
#include "cli/nifti/nifti_file.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::ScratchFolder;

namespace {

NiftiGeometry smallGrid(int nt = 2) {
    Affine a{};
    a[0] = 2.0;
    a[5] = 2.5;
    a[10] = 3.0;
    a[3] = -4;
    a[7] = 5;
    a[11] = 6;
    a[15] = 1;
    return makeGeometry({4, 3, 2, nt}, a, 1.5f);
}

std::vector<float> ramp(std::size_t n, float step, float offset) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = offset + step * static_cast<float>(i);
    return v;
}

std::string expectInputError(const std::string& path, bool nanToZero = false) {
    try {
        readNifti(path, ReadOptions{nanToZero}, nullptr);
    } catch (const InputError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.find('\n'), std::string::npos) << "one line: " << what;
        EXPECT_EQ(what.rfind(path, 0), 0u) << "names the file: " << what;
        return what;
    }
    ADD_FAILURE() << path << " was accepted";
    return {};
}

// Offset of dim[4] in the NIfTI-1 header (short dim[8] at byte 40).
constexpr std::streamoff kDim4Offset = 48;

}  // namespace

TEST(NiftiFile, EveryStoredTypeReadsBackScaled) {
    ScratchFolder dir("types");
    const NiftiGeometry g = smallGrid();
    const std::size_t n = g.voxelsPerVolume() * 2;
    struct Case {
        int datatype;
        double slope, inter;
        std::vector<float> values;
    };
    const Case cases[] = {{2, 1, 0, ramp(n, 5, 0)},        {256, 1, 0, ramp(n, 3, -60)},
                          {4, 0.5, 10, ramp(n, 7.5, -80)}, {512, 2, 0, ramp(n, 1000, 0)},
                          {8, 1, -3, ramp(n, -123456, 7)}, {768, 1, 0, ramp(n, 1e5, 1)},
                          {1024, 1, 0, ramp(n, 1e6, -5)},  {16, 1, 0, ramp(n, 0.25f, -1)},
                          {64, 1, 0, ramp(n, 1e-3f, 2)}};
    for (const Case& c : cases) {
        for (const char* ext : {".nii", ".nii.gz"}) {
            const std::string path = dir / ("t" + std::to_string(c.datatype) + ext);
            writeNifti(path, g, 2, c.values, nullptr, StoredType{c.datatype, c.slope, c.inter});
            const NiftiImage back = readNifti(path, {}, nullptr);
            ASSERT_EQ(back.data.size(), n) << path;
            EXPECT_EQ(back.geometry.nt(), 2);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_NEAR(back.data[i], c.values[i], 1e-3 * std::fabs(c.values[i]) + 1e-4)
                    << path << " voxel " << i;
            }
        }
    }
}

TEST(NiftiFile, GeometryTravelsWithTheData) {
    ScratchFolder dir("geometry");
    Affine a{};
    // Tilted and mirrored in i: a proper rotation times a reflection, with translation.
    const double c = std::cos(0.3), s = std::sin(0.3);
    a = {-2 * c, 0, 3 * s, 10, 0, 2.5, 0, -20, 2 * s, 0, 3 * c, 30, 0, 0, 0, 1};
    const NiftiGeometry g = makeGeometry({5, 4, 3, 1}, a);
    const std::string path = dir / "tilted.nii.gz";
    writeNifti(path, g, 1, ramp(60, 1, 0), nullptr);
    const NiftiImage back = readNifti(path, {}, nullptr);
    EXPECT_EQ(back.geometry.sformCode(), 1);
    EXPECT_EQ(back.geometry.qformCode(), 1);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(back.geometry.affine()[i], a[i], 1e-4) << i;
    EXPECT_NEAR(back.geometry.voxelSize()[0], 2.0, 1e-5);
    EXPECT_NEAR(back.geometry.voxelSize()[2], 3.0, 1e-5);
    EXPECT_TRUE(back.geometry.sameGrid(g));
    EXPECT_FALSE(back.geometry.sameGrid(smallGrid(1)));
    EXPECT_EQ(niftiStem(path), "tilted");
}

TEST(NiftiFile, DamagedAndForeignFilesAreRefusedInOneLine) {
    ScratchFolder dir("damaged");
    const NiftiGeometry g = makeGeometry({32, 32, 16, 4}, smallGrid().affine());
    std::vector<float> values(g.voxelsPerVolume() * 4);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = std::sin(0.01f * static_cast<float>(i)) * 1000;
    const std::string gz = dir / "whole.nii.gz";
    const std::string plain = dir / "whole.nii";
    writeNifti(gz, g, 4, values, nullptr);
    writeNifti(plain, g, 4, values, nullptr);

    const std::string cutGz = dir / "cut.nii.gz";
    std::filesystem::copy_file(gz, cutGz);
    std::filesystem::resize_file(cutGz, std::filesystem::file_size(gz) / 2);
    const std::string e1 = expectInputError(cutGz);
    EXPECT_TRUE(e1.find("truncated") != std::string::npos || e1.find("gzip") != std::string::npos)
        << e1;

    const std::string cutPlain = dir / "cut.nii";
    std::filesystem::copy_file(plain, cutPlain);
    std::filesystem::resize_file(cutPlain, 352 + 1000);
    EXPECT_NE(expectInputError(cutPlain).find("truncated"), std::string::npos);

    const std::string text = dir / "notes.nii";
    ondrift::testing::writeText(text, std::string(400, 'x'));
    EXPECT_NE(expectInputError(text).find("not a NIfTI-1"), std::string::npos);
    EXPECT_NE(expectInputError(dir / "absent.nii.gz").find("no such file"), std::string::npos);
    const std::string wrongName = dir / "image.img";
    std::filesystem::copy_file(plain, wrongName);
    EXPECT_NE(expectInputError(wrongName).find("NIfTI file name"), std::string::npos);
    EXPECT_NE(expectInputError(dir.path().string()).find("directory"), std::string::npos);

    // A 4-D header that claims no volumes.
    const std::string empty = dir / "novolumes.nii";
    std::filesystem::copy_file(plain, empty);
    {
        std::fstream f(empty, std::ios::in | std::ios::out | std::ios::binary);
        const short zero = 0;
        f.seekp(kDim4Offset);
        f.write(reinterpret_cast<const char*>(&zero), sizeof zero);
    }
    EXPECT_NE(expectInputError(empty).find("no volumes"), std::string::npos);
}

TEST(NiftiFile, NonFiniteValuesAreCountedAndRefusedUnlessReplaced) {
    ScratchFolder dir("nan");
    const NiftiGeometry g = smallGrid(1);
    std::vector<float> values = ramp(g.voxelsPerVolume(), 1, 1);
    values[2] = std::numeric_limits<float>::quiet_NaN();
    values[5] = std::numeric_limits<float>::infinity();
    values[7] = -std::numeric_limits<float>::infinity();
    const std::string path = dir / "nan.nii";
    writeNifti(path, g, 1, values, nullptr);
    EXPECT_NE(expectInputError(path).find("3 voxels are NaN or infinite"), std::string::npos);
    const NiftiImage replaced = readNifti(path, ReadOptions{true}, nullptr);
    EXPECT_EQ(replaced.nonFinite, 3u);
    EXPECT_EQ(replaced.data[2], 0.0f);
    EXPECT_EQ(replaced.data[5], 0.0f);
    EXPECT_EQ(replaced.data[3], 4.0f);
}
