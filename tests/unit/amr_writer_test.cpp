// AMR files end to end: names, layout, rescaling to grey levels, first volume only, the slices
// that cannot be shown, and failed writes.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "image/amr_pixels.h"
#include "image/amr_writer.h"

using namespace ondrift;
namespace fs = std::filesystem;

namespace {

class AmrWriter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::session().clearRecords();
        dir_ = fs::temp_directory_path() /
               ("ondrift_amr_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    /// A one-volume image named <dir>/run1.fmr with the given values.
    Image image(int x, int y, int z, std::vector<double> values, int volumes = 1) {
        Image im(std::move(values), x, y, z, volumes, 8);
        im.setName((dir_ / "run1.fmr").string());
        im.setStatus(Valid);
        return im;
    }

    static std::vector<std::uint8_t> read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    /// Pixel (x, y) of slice z in a file's bytes.
    static int pixel(const std::vector<std::uint8_t>& file, int z, int x, int y) {
        return file[2 + static_cast<std::size_t>(z) * kBmpImageBytes + 1078 + y * 256 + x];
    }

    const std::vector<std::string>& log() const { return standin::session().log; }

    fs::path dir_;
};

}  // namespace

TEST_F(AmrWriter, FileNameLayoutAndLevelsFromZero) {
    // 256×256, two slices, values 50…200: scaled from 0, so 50 → 63.75 → 64 and 200 → 255.
    std::vector<double> v(256 * 256 * 2, 50.0);
    v[1] = 200.0;
    v[256 * 256 + 5] = 125.0;  // 159.375 → 159
    ASSERT_TRUE(saveAsAMR(image(256, 256, 2, v), "_b0"));
    EXPECT_TRUE(log().empty());

    const fs::path file = dir_ / "run1_b0.amr";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_FALSE(fs::exists(dir_ / "run1_b0.amr.partial"));
    const auto bytes = read(file);
    ASSERT_EQ(bytes.size(), 2u + 66614u * 2u);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[1], 0);
    const auto header = bmpHeaderBytes();
    const auto palette = greyPaletteBytes();
    for (int z = 0; z < 2; ++z) {
        const std::size_t at = 2 + static_cast<std::size_t>(z) * kBmpImageBytes;
        EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin() + at));
        EXPECT_TRUE(std::equal(palette.begin(), palette.end(), bytes.begin() + at + 54));
    }
    EXPECT_EQ(pixel(bytes, 0, 0, 0), 64);
    EXPECT_EQ(pixel(bytes, 0, 1, 0), 255);
    EXPECT_EQ(pixel(bytes, 0, 0, 255), 64);  // rows are not flipped
    EXPECT_EQ(pixel(bytes, 1, 5, 0), 159);
}

TEST_F(AmrWriter, HalfLevelRoundsUpAndOnlyTheFirstVolumeCounts) {
    // Maximum 510 maps to 255 with factor 0.5, so 509 lands on 254.5 and becomes 255. The
    // second volume's huge values must not change the scale.
    std::vector<double> v(256 * 256 * 2, 0.0);
    v[0] = 510.0;
    v[1] = 509.0;
    v[2] = 1.0;  // 0.5 → 1
    v[3] = 0.9;  // 0.45 → 0
    v[256 * 256] = 1e9;
    ASSERT_TRUE(saveAsAMR(image(256, 256, 1, v, 2), "_b0"));
    const auto bytes = read(dir_ / "run1_b0.amr");
    ASSERT_EQ(bytes.size(), 2u + 66614u);
    EXPECT_EQ(pixel(bytes, 0, 0, 0), 255);
    EXPECT_EQ(pixel(bytes, 0, 1, 0), 255);
    EXPECT_EQ(pixel(bytes, 0, 2, 0), 1);
    EXPECT_EQ(pixel(bytes, 0, 3, 0), 0);
}

TEST_F(AmrWriter, NegativeValuesAnchorAtZeroLevel) {
    // {−2, 0, 6} on 0…255: 0, 63.75, 255.
    std::vector<double> v(256 * 256, 0.0);
    v[0] = -2.0;
    v[2] = 6.0;
    const AMRImage amr = buildAMR(image(256, 256, 1, v), "_x");
    ASSERT_EQ(amr.nrOfSlices, 1);
    EXPECT_EQ(amr.slices[0].pixels[0], 0);
    EXPECT_EQ(amr.slices[0].pixels[1], 64);
    EXPECT_EQ(amr.slices[0].pixels[2], 255);
    EXPECT_EQ(amr.name, (dir_ / "run1_x.fmr").string());
    EXPECT_FALSE(amr.firstVolumeAsAnatomy);
}

TEST_F(AmrWriter, NonFiniteValuesAndAllZeroImagesGiveBlackNotGarbage) {
    std::vector<double> v(256 * 256, 0.0);
    v[0] = std::numeric_limits<double>::quiet_NaN();
    v[1] = std::numeric_limits<double>::infinity();
    v[2] = -std::numeric_limits<double>::infinity();
    v[3] = 100.0;
    v[4] = 20.0;
    AMRImage amr = buildAMR(image(256, 256, 1, v), "_b0");
    EXPECT_EQ(amr.slices[0].pixels[0], 0);
    EXPECT_EQ(amr.slices[0].pixels[1], 0);
    EXPECT_EQ(amr.slices[0].pixels[2], 0);
    EXPECT_EQ(amr.slices[0].pixels[3], 255);  // the finite values keep their scale
    EXPECT_EQ(amr.slices[0].pixels[4], 51);

    amr = buildAMR(image(64, 64, 3, std::vector<double>(64 * 64 * 3, 0.0)), "_b0");
    ASSERT_EQ(amr.slices.size(), 3u);
    for (const auto& s : amr.slices) EXPECT_EQ(s.pixels, decltype(s.pixels){});
}

TEST_F(AmrWriter, SmallSquaresAreEnlargedOddShapesCentred) {
    std::vector<double> v(64 * 64, 255.0);
    const AMRImage enlarged = buildAMR(image(64, 64, 1, v), "_b0");
    EXPECT_EQ(enlarged.slices[0].pixels[0], 0);  // the ramp from black
    EXPECT_EQ(enlarged.slices[0].pixels[4], 255);

    std::vector<double> w(60 * 40, 255.0);
    const AMRImage centred = buildAMR(image(60, 40, 1, w), "_b0");
    const auto& px = centred.slices[0].pixels;
    EXPECT_EQ(px[108 * 256 + 98], 255);  // top-left of the slice at ((256−60)/2, (256−40)/2)
    EXPECT_EQ(px[147 * 256 + 157], 255);
    EXPECT_EQ(px[107 * 256 + 98], 0);
    EXPECT_EQ(px[108 * 256 + 97], 0);
    EXPECT_TRUE(log().empty());
}

TEST_F(AmrWriter, OversizedSlicesAreReportedAndWrittenBlack) {
    std::vector<double> v(300 * 10 * 3, 7.0);
    ASSERT_TRUE(saveAsAMR(image(300, 10, 3, v), "_pixshift"));
    ASSERT_EQ(log().size(), 3u);  // once per slice
    for (const auto& entry : log()) {
        EXPECT_EQ(entry, "Save to AMR not available for image matrix larger than 256.");
    }
    const auto bytes = read(dir_ / "run1_pixshift.amr");
    ASSERT_EQ(bytes.size(), 2u + 3u * 66614u);  // the slice count stays true
    EXPECT_EQ(bytes[0], 3);
    for (int z = 0; z < 3; ++z) {
        const auto begin = bytes.begin() + 2 + z * 66614 + 1078;
        EXPECT_TRUE(std::all_of(begin, begin + 65536, [](std::uint8_t b) { return b == 0; }));
    }
}

TEST_F(AmrWriter, UnwritablePlaceFailsWithoutLeavingAFile) {
    Image im = image(64, 64, 1, std::vector<double>(64 * 64, 1.0));
    im.setName((dir_ / "missing" / "run1.fmr").string());
    EXPECT_FALSE(saveAsAMR(im, "_b0"));
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0], "Error while writing AMR file");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));

    // A container that claims voxels it does not hold is refused, not read past its end.
    standin::session().clearRecords();
    Image hollow;
    hollow.assign(64, 64, 1, 1, {}, (dir_ / "hollow.fmr").string(), 8);
    EXPECT_FALSE(saveAsAMR(hollow, "_b0"));
    EXPECT_EQ(log(), std::vector<std::string>{"Error while writing AMR file"});
}

TEST_F(AmrWriter, ExistingFileIsReplacedWhole) {
    const fs::path file = dir_ / "run1_b0.amr";
    std::ofstream(file) << std::string(500000, 'x');
    ASSERT_TRUE(saveAsAMR(image(16, 16, 1, std::vector<double>(256, 3.0)), "_b0"));
    EXPECT_EQ(fs::file_size(file), 2u + 66614u);
}
