// Saving containers through the stand-in host's current FMR document.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "image/fmr_writer.h"

using namespace ondrift;
using standin::session;
using standin::workspace;
namespace fs = std::filesystem;

namespace {

class FmrWriter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::clearAll();
        auto& ws = workspace();
        ws.quiet = true;
        dir_ = fs::temp_directory_path() /
               (std::string("ondrift_fmr_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ws.outputDirectory = dir_;
    }
    void TearDown() override {
        standin::clearAll();
        fs::remove_all(dir_);
    }

    /// The current document: 2×2×1 with `volumes` volumes, linked to an AMR file.
    static int document(int dataType, int volumes = 1, std::vector<double> values = {}) {
        standin::FmrSpec description{.name = "run1.fmr",
                                     .columns = 2,
                                     .rows = 2,
                                     .slices = 1,
                                     .volumes = volumes,
                                     .dataType = dataType,
                                     .values = std::move(values),
                                     .amrFileName = "run1.amr"};
        const int id = workspace().addFmr(description);
        workspace().setCurrent(id);
        return id;
    }

    static Image image(std::vector<double> values, int x = 2, int y = 2, int z = 1,
                       int volumes = 1) {
        Image im(std::move(values), x, y, z, volumes, 8);
        im.setName("run1.fmr");
        im.setStatus(Valid);
        return im;
    }

    static const std::vector<std::string>& log() { return session().log; }

    fs::path dir_;
};

}  // namespace

TEST(FmrInt16Value, TruncatesTowardZeroAndClamps) {
    EXPECT_EQ(fmrInt16Value(1.9), 1);
    EXPECT_EQ(fmrInt16Value(-1.9), -1);
    EXPECT_EQ(fmrInt16Value(32767.9), 32767);
    EXPECT_EQ(fmrInt16Value(-32768.9), -32768);
    EXPECT_EQ(fmrInt16Value(40000.0), 32767);  // wrapping would give −25536
    EXPECT_EQ(fmrInt16Value(-40000.0), -32768);
    EXPECT_EQ(fmrInt16Value(1e300), 32767);
    EXPECT_EQ(fmrInt16Value(-std::numeric_limits<double>::infinity()), -32768);
    EXPECT_EQ(fmrInt16Value(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST_F(FmrWriter, SixteenBitAtTheLimitIsStoredTruncated) {
    const int id = document(kFmrInt16);
    fs::create_directories(dir_ / "out.d");
    ASSERT_TRUE(saveAsFMR(image({1.9, -1.9, 16384.0, 0.0}), "out.d/run1_b0.fmr"));
    const auto& save = workspace().saves().back();
    EXPECT_EQ(save.fmrFileName, "out.d/run1_b0.fmr");
    EXPECT_EQ(save.stcName, "out.d/run1_b0");  // directory kept, extension dropped
    EXPECT_EQ(save.values(), (std::vector<double>{1, -1, 16384, 0}));
    EXPECT_EQ(save.amrFileName(), "");
    EXPECT_EQ(workspace().fmr(id).header.amrFileName[0], '\0');
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(session().windowUpdates, 1);
}

TEST_F(FmrWriter, SixteenBitAboveTheLimitIsRescaledFromZero) {
    document(kFmrInt16);
    const Image withNegative = image({-100.0, 0.0, 10050.0, 20000.0});
    ASSERT_TRUE(saveAsFMR(withNegative, "run1_b0.fmr"));
    EXPECT_EQ(log(), std::vector<std::string>{"Rescaling between 0 and 16384..."});
    // −100 → 0 and 20000 → 16384 up to double rounding: the 1e-12 is below the spacing of
    // doubles near 16384, so 20000 lands a hair under it and is stored as 16383.
    const double factor = (16384.0 + 1e-12) / 20100.0;
    const double offset = 0.0 - factor * -100.0;
    std::vector<double> expected;
    for (double v : {-100.0, 0.0, 10050.0, 20000.0})
        expected.push_back(std::trunc(factor * v + offset));
    EXPECT_EQ(expected.front(), 0.0);
    EXPECT_GE(expected.back(), 16383.0);
    EXPECT_EQ(workspace().saves().back().values(), expected);
    EXPECT_EQ(withNegative.getValue(std::size_t{0}), -100.0);  // the container is unchanged
    EXPECT_TRUE(fs::exists(dir_ / "run1_b0.fmr"));

    session().clearRecords();
    ASSERT_TRUE(saveAsFMR(image({100.0, 20000.0, 0.0, 0.0}), "run1_b1.fmr"));
    EXPECT_EQ(workspace().saves().back().values(), (std::vector<double>{81, 16384, 0, 0}));
}

TEST_F(FmrWriter, SixteenBitClampsInsteadOfWrappingAndStoresNanAsZero) {
    document(kFmrInt16);
    // The maximum stays below 16384, so nothing is rescaled and the raw values must fit.
    ASSERT_TRUE(saveAsFMR(
        image({-40000.0, std::numeric_limits<double>::quiet_NaN(), -32769.5, 12.0}), "run1_c.fmr"));
    EXPECT_EQ(workspace().saves().back().values(), (std::vector<double>{-32768, 0, -32768, 12}));
}

TEST_F(FmrWriter, FloatIsNeverRescaledAndNamesItsDataWithoutDirectory) {
    document(kFmrFloat32);
    ASSERT_TRUE(saveAsFMR(image({1e6, -3.5, 0.1, 16385.0}), (dir_ / "run1_b0.fmr").string()));
    const auto& save = workspace().saves().back();
    EXPECT_EQ(save.stcName, "run1_b0");
    EXPECT_EQ(save.floatValues, (std::vector<float>{1e6f, -3.5f, 0.1f, 16385.0f}));
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(session().windowUpdates, 1);
}

TEST_F(FmrWriter, OneVolumeReplacesOnlyTheFirstVolume) {
    const int id = document(kFmrFloat32, 3, {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3});
    ASSERT_TRUE(saveAsFMR(image({9, 8, 7, 6}), "run1_x.fmr"));
    EXPECT_EQ(workspace().fmrValues(id), (std::vector<double>{9, 8, 7, 6, 2, 2, 2, 2, 3, 3, 3, 3}));
    EXPECT_EQ(workspace().saves().back().values(), workspace().fmrValues(id));
}

TEST_F(FmrWriter, ImagesLargerThanTheDocumentAreRefusedUntouched) {
    const int id = document(kFmrInt16, 2, {1, 2, 3, 4, 5, 6, 7, 8});
    struct Case {
        const char* what;
        int x, y, z, volumes;
    };
    for (const Case& c : {Case{"more volumes", 2, 2, 1, 3}, Case{"more columns", 4, 2, 1, 1},
                          Case{"more slices", 2, 2, 2, 1}}) {
        SCOPED_TRACE(c.what);
        session().clearRecords();
        const std::size_t n = static_cast<std::size_t>(c.x) * c.y * c.z * c.volumes;
        EXPECT_FALSE(
            saveAsFMR(image(std::vector<double>(n, 42.0), c.x, c.y, c.z, c.volumes), "big.fmr"));
        ASSERT_EQ(log().size(), 1u);
        EXPECT_NE(log()[0].find("does not fit the current FMR"), std::string::npos);
        EXPECT_TRUE(workspace().saves().empty());
        EXPECT_EQ(workspace().fmrValues(id), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_STREQ(workspace().fmr(id).header.amrFileName, "run1.amr");
        EXPECT_EQ(session().windowUpdates, 0);
    }
}

TEST_F(FmrWriter, NoCurrentFmrShowsTheMessageBox) {
    workspace().addVmr({.name = "anat.vmr"});
    for (int current : {-1, 0}) {
        session().clearRecords();
        workspace().setCurrent(current);
        EXPECT_FALSE(saveAsFMR(image({1, 2, 3, 4}), "run1_b0.fmr"));
        EXPECT_EQ(session().messageBoxes,
                  std::vector<std::string>{"No FMR available in current workspace"});
        EXPECT_TRUE(workspace().saves().empty());
    }
}

TEST_F(FmrWriter, MissingDataArraysFailWithTheirOwnMessages) {
    // A header that names the other data type: the host has no arrays of that type to give.
    int id = document(kFmrFloat32);
    workspace().fmr(id).header.dataType = kFmrInt16;
    EXPECT_FALSE(saveAsFMR(image({1, 2, 3, 4}), "a.fmr"));
    EXPECT_EQ(log().back(), "Error while retrieving FMR data");

    session().clearRecords();
    id = document(kFmrInt16);
    workspace().fmr(id).header.dataType = kFmrFloat32;
    EXPECT_FALSE(saveAsFMR(image({1, 2, 3, 4}), "b.fmr"));
    EXPECT_EQ(log().back(), "An error occurred while writing FMR/STC data.");
    EXPECT_TRUE(workspace().saves().empty());
}

TEST_F(FmrWriter, UnknownDataTypeIsReportedAfterTheLinkIsCleared) {
    workspace().addFmr({.name = "labels.fmr", .dataType = 3, .amrFileName = "labels.amr"});
    workspace().setCurrent(0);
    EXPECT_FALSE(saveAsFMR(image({1.0}, 1, 1, 1, 1), "labels_b0.fmr"));
    EXPECT_EQ(log(), std::vector<std::string>{
                         "Datatype not recognized. New data could not be saved in FMR."});
    EXPECT_STREQ(workspace().fmr(0).header.amrFileName, "");
    EXPECT_TRUE(workspace().saves().empty());
}
