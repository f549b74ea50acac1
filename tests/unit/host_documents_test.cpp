// Picking open projects and copying them out of the stand-in host's workspace.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "image/host_documents.h"

using namespace ondrift;
using standin::DialogAnswer;
using standin::session;
using standin::workspace;

namespace {

class HostDocuments : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::clearAll();
        workspace().quiet = true;
    }
    void TearDown() override { standin::clearAll(); }

    static void answer(int n) { session().answers.push_back(DialogAnswer::withNumber(n)); }
    static const std::vector<std::string>& log() { return session().log; }
};

}  // namespace

TEST_F(HostDocuments, ListHoldsProjectsOfTheTypeByIdAfterLoggingEveryDocument) {
    auto& ws = workspace();
    ws.addFmr("C:/data/a.fmr", 2, 2, 1, 1, kFmrInt16);
    ws.addVmr({.name = "anat.vmr"});
    ws.addOther(kDocSRF, "surface.srf");
    ws.addFmr("b.fmr", 2, 2, 1, 1, kFmrFloat32);
    ws.addOther(7, "odd");
    answer(3);

    EXPECT_EQ(chooseFMRProject("Please select the EPI file"), 3);
    const std::vector<std::string> expectedLog = {
        "Collecting names of open projects...",
        "Number in workspace: 0, project type: FMR",
        "Number in workspace: 1, project type: VMR",
        "Number in workspace: 2, project type: SRF",
        "Number in workspace: 3, project type: FMR",
        "Number in workspace: 4, project type: Unknown",
    };
    EXPECT_EQ(log(), expectedLog);
    ASSERT_EQ(session().dialogs.size(), 1u);
    const auto& dialog = session().dialogs[0];
    EXPECT_EQ(dialog.text,
              "<HTML>Please select the EPI file<P>\n\n0 = C:/data/a.fmr<BR>\n\n"
              "3 = b.fmr<BR>\n\n</HTML>");
    EXPECT_EQ(dialog.defaultValue, 0);
    EXPECT_EQ(dialog.minimum, 0);
    EXPECT_EQ(dialog.maximum, 5);

    session().clearRecords();
    EXPECT_EQ(chooseVMRProject("Please select the VMR file:"), -1);  // cancelled
    ASSERT_EQ(session().dialogs.size(), 1u);
    EXPECT_EQ(session().dialogs[0].text,
              "<HTML>Please select the VMR file:<P>\n\n1 = anat.vmr<BR>\n\n</HTML>");
}

TEST(ProjectListHtml, OrderedByIdAndBoundedWithoutLosingItsEnd) {
    EXPECT_EQ(projectListHtml("P", {{4, "d.fmr"}, {2, "b.fmr"}}),
              "<HTML>P<P>\n\n2 = b.fmr<BR>\n\n4 = d.fmr<BR>\n\n</HTML>");
    EXPECT_EQ(projectListHtml(nullptr, {}), "<HTML><P>\n\n</HTML>");

    const std::string longPrompt(70000, 'p');
    const std::string cutPrompt = projectListHtml(longPrompt.c_str(), {{0, "a.fmr"}});
    EXPECT_LE(cutPrompt.size(), kProjectListBytes - 1);
    EXPECT_EQ(cutPrompt.substr(cutPrompt.size() - 12), "<P>\n\n</HTML>");

    std::map<int, std::string> many;
    for (int id = 0; id < 400; ++id) many[id] = std::string(303, 'n');
    const std::string list = projectListHtml("Pick", many);
    EXPECT_LE(list.size(), kProjectListBytes - 1);
    EXPECT_EQ(list.substr(list.size() - 7), "</HTML>");
    // Whole entries only, from the lowest id on.
    const std::string entry = " = " + std::string(303, 'n') + "<BR>\n\n";
    EXPECT_NE(list.find("0" + entry), std::string::npos);
    EXPECT_EQ(list.find("399" + entry), std::string::npos);
}

TEST_F(HostDocuments, LoadsSixteenBitProjectSignedIntoContainer) {
    auto& ws = workspace();
    ws.addVmr({.name = "anat.vmr"});
    std::vector<double> values = {-1, 2,  32767, -32768, 5,  6,  7,  8,     // volume 0
                                  10, 20, 30,    40,     50, 60, 70, -80};  // volume 1
    standin::FmrSpec description{.name = "C:/data/run1.fmr",
                                 .columns = 2,
                                 .rows = 2,
                                 .slices = 2,
                                 .volumes = 2,
                                 .dataType = kFmrInt16,
                                 .voxelSizeX = 3.0f,
                                 .voxelSizeY = 3.5f,
                                 .voxelSizeZ = 4.0f,
                                 .values = values};
    description.position.Slice1CenterX = 12.5f;
    ws.addFmr(description);
    answer(1);

    Image image;
    FMRRecord record;
    ASSERT_TRUE(loadFMRInto("Please select the EPI file", image, record));
    EXPECT_EQ(ws.current(), 1);
    EXPECT_EQ(image.getStatus(), Valid);
    EXPECT_EQ(image.getDimX(), 2);
    EXPECT_EQ(image.getDimY(), 2);
    EXPECT_EQ(image.getDimZ(), 2);
    EXPECT_EQ(image.getNrOfVolumes(), 2);
    EXPECT_EQ(image.getBytesPerVoxel(), 8u);
    EXPECT_EQ(image.getName(), "C:/data/run1.fmr");
    EXPECT_FLOAT_EQ(image.getVoxelSizeY(), 3.5f);
    EXPECT_EQ(image.getVoxelSizeT(), 0.0f);
    EXPECT_EQ(std::vector<double>(image.getData(), image.getData() + 16), values);
    EXPECT_EQ(log().back(), image.statisticsText("current FMR"));

    EXPECT_EQ(record.kind, 5u);
    EXPECT_EQ(record.count, 16u);
    EXPECT_FALSE(record.isFloat);
    EXPECT_EQ(record.intData, ws.fmr(1).intPointers());
    EXPECT_EQ(record.floatData, nullptr);
    ASSERT_TRUE(record.position);
    EXPECT_EQ(record.position->Slice1CenterX, 12.5f);
}

TEST_F(HostDocuments, FloatProjectThroughGetDataFromFile) {
    workspace().addFmr("phase.fmr", 3, 1, 1, 1, kFmrFloat32, {0.25, -1.5, 1e6});
    answer(0);
    Image image;
    EXPECT_TRUE(getDataFromFile("ignored.fmr", 21, image, "Please select the startfile"));
    EXPECT_EQ(log().front(), "Get data from file...");
    EXPECT_EQ(std::vector<double>(image.getData(), image.getData() + 3),
              (std::vector<double>{0.25, -1.5, 1e6}));
}

TEST_F(HostDocuments, FailedPicksLeaveAnUnusableContainer) {
    auto& ws = workspace();
    ws.addVmr({.name = "anat.vmr"});
    ws.addFmr({.name = "labels.fmr", .dataType = 3});  // no data the plug-in could read

    struct Case {
        const char* what;
        std::optional<int> pick;
    };
    for (const Case& c : {Case{"cancelled", std::nullopt}, Case{"a VMR", 0},
                          Case{"no such index", 9}, Case{"data type 3", 1}}) {
        SCOPED_TRACE(c.what);
        session().clearRecords();
        if (c.pick) answer(*c.pick);
        Image image;
        FMRRecord record;
        EXPECT_FALSE(loadFMRInto("Pick", image, record));
        EXPECT_EQ(image.getStatus(), NotObtained);
        EXPECT_FALSE(image.hasData());
        EXPECT_EQ(log().back(), "Could not get FMR data");

        session().clearRecords();
        if (c.pick) answer(*c.pick);
        const Image loaded = loadFMR("Pick");
        EXPECT_EQ(loaded.getStatus(), NotObtained);
        EXPECT_EQ(loaded.getNrOfVoxels(), 0);

        session().clearRecords();
        if (c.pick) answer(*c.pick);
        EXPECT_FALSE(getDataFromFile("x.fmr", 21, image, "Pick"));
    }
}

TEST_F(HostDocuments, ZeroVolumesGiveOneVolumeOfZerosAndNoVoxels) {
    workspace().addFmr("empty.fmr", 2, 3, 1, 0, kFmrInt16);
    workspace().setCurrent(0);
    FMRRecord record;
    ASSERT_TRUE(readCurrentFMR(record));
    EXPECT_EQ(record.count, 6u);
    EXPECT_EQ(fmrDataAsDoubles(record), std::vector<double>(6, 0.0));

    answer(0);
    Image image;
    ASSERT_TRUE(loadFMRInto("Pick", image, record));
    EXPECT_EQ(image.getNrOfVoxels(), 0);
}

TEST_F(HostDocuments, AbsurdHeaderDimensionsAreRefused) {
    auto& ws = workspace();
    ws.addFmr("run.fmr", 2, 2, 1, 1, kFmrInt16);
    ws.setCurrent(0);
    FMRRecord record;
    for (auto change :
         {+[](FMRHeader& h) { h.columns = -2; }, +[](FMRHeader& h) { h.nrOfVolumes = -1; },
          +[](FMRHeader& h) { h.columns = h.rows = h.slices = 2000; }}) {
        FMRHeader& header = ws.fmr(0).header;
        const FMRHeader saved = header;
        change(header);
        EXPECT_FALSE(readCurrentFMR(record));
        EXPECT_EQ(record.kind, 0u);
        header = saved;
    }
    EXPECT_TRUE(readCurrentFMR(record));
}

TEST(ByteSwap, ExchangesTheTwoBytesOfEveryValue) {
    std::vector<short> v = {0x0102, -1, 0x00FF, 0};
    swapBytes16(v);
    EXPECT_EQ(v, (std::vector<short>{0x0201, -1, static_cast<short>(0xFF00), 0}));
}

TEST_F(HostDocuments, BigEndianReadSwapsTheHostDataInPlace) {
    auto& ws = workspace();
    ws.addFmr("run.fmr", 2, 1, 1, 2, kFmrInt16, {0x0102, 0x0304, 0x0506, -2});
    ws.setCurrent(0);
    FMRRecord record;
    ASSERT_TRUE(readCurrentFMR(record, 1));
    EXPECT_TRUE(log().empty());
    ASSERT_TRUE(readCurrentFMR(record, 2));
    EXPECT_EQ(log(), (std::vector<std::string>{"Swap data...", "Finished swapping."}));
    EXPECT_EQ(ws.fmrValues(0), (std::vector<double>{0x0201, 0x0403, 0x0605, -257}));
    EXPECT_EQ(fmrDataAsDoubles(record), (std::vector<double>{0x0201, 0x0403, 0x0605, -257}));
}

TEST_F(HostDocuments, LoadsVmrRecords) {
    auto& ws = workspace();
    ws.addFmr("run.fmr", 2, 2, 1, 1, kFmrInt16);
    standin::VmrSpec description{.name = "anat.vmr", .dimX = 3, .dimY = 2, .dimZ = 2};
    description.voxels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    description.position.SliceNCenterZ = -7.0f;
    ws.addVmr(description);
    answer(1);

    VMRRecord record;
    ASSERT_TRUE(loadVMR("Please select the VMR file:", record));
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(record.dimX, 3);
    EXPECT_EQ(record.dimY, 2);
    EXPECT_EQ(record.dimZ, 2);
    EXPECT_EQ(record.voxels, ws.vmr(1).voxels().data());
    ASSERT_TRUE(record.mainHeader);
    EXPECT_EQ(record.mainHeaderCopy, record.mainHeader.get());
    EXPECT_STREQ(record.mainHeader->fileName, "anat.vmr");
    ASSERT_TRUE(record.position && record.pastTransformations);
    EXPECT_EQ(record.position->SliceNCenterZ, -7.0f);

    session().clearRecords();
    answer(0);  // an FMR: no VMR main header
    VMRRecord none;
    EXPECT_FALSE(loadVMR("Please select the VMR file:", none));
    const std::vector<std::string> tail(log().end() - 2, log().end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Could not obtain main header of VMR file.",
                                              "Could not get VMR data"}));
}
