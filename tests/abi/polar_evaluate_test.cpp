// "CreatePolarFile" and "Evaluate" through the binary interface, on stand-in host documents.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"

namespace fs = std::filesystem;
using ondrift::standin::Workspace;

namespace {

class PolarAndEvaluate : public WorkspaceTest {
protected:
    void blockSaves() {
        std::ofstream(dir / "blocker") << "x";
        ws().outputDirectory = dir / "blocker" / "out";
    }
    bool loggedPart(const std::string& part) {
        for (const auto& e : log()) {
            if (e.find(part) != std::string::npos) return true;
        }
        return false;
    }
};

std::vector<double> asFloats(const std::vector<double>& v) {
    std::vector<double> out;
    for (const double d : v) out.push_back(static_cast<double>(static_cast<float>(d)));
    return out;
}

}  // namespace

TEST_F(PolarAndEvaluate, PolarFilesKeepFractionalValues) {
    const std::vector<double> re = {-1.0, 0.0, 3.0, 2.0, 0.5, -0.25};
    const std::vector<double> im = {0.0, 0.0, 4.0, 2.0, -2.9, 0.75};
    ws().addFmr("C:/data/re.fmr", 3, 2, 1, 1, kFmrFloat32, re);
    ws().addFmr("C:/data/im.fmr", 3, 2, 1, 1, kFmrFloat32, im);
    params().setString("RealFile", "re.fmr");
    params().setString("ImagFile", "im.fmr");
    answer(0);
    answer(1);
    run("CreatePolarFile");
    EXPECT_EQ(errorNr(), 0);
    EXPECT_EQ(log().back(), kSuccess);
    ASSERT_EQ(session().dialogs.size(), 2u);
    EXPECT_NE(session().dialogs[0].text.find("Please select the real image"), std::string::npos);
    EXPECT_NE(session().dialogs[1].text.find("Please select the imaginary image"),
              std::string::npos);

    std::vector<double> magnitude;
    std::vector<double> phase;
    for (std::size_t i = 0; i < re.size(); ++i) {
        magnitude.push_back(std::hypot(re[i], im[i]));
        phase.push_back(std::atan2(im[i], re[i]));
    }
    ASSERT_EQ(ws().saves().size(), 2u);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "re_magnitude.fmr");
    EXPECT_EQ(ws().saves()[0].values(), asFloats(magnitude));
    EXPECT_EQ(ws().saves()[1].fmrFileName, "im_phase.fmr");
    EXPECT_EQ(ws().saves()[1].values(), asFloats(phase));
    EXPECT_NEAR(ws().saves()[1].values()[0], 3.14159265, 1e-6);  // not truncated to 3
}

TEST_F(PolarAndEvaluate, PolarFilesInSixteenBitProjectsTruncateWhenSaved) {
    ws().addFmr("re.fmr", 2, 1, 1, 1, kFmrInt16, {-1.0, 2.0});
    ws().addFmr("im.fmr", 2, 1, 1, 1, kFmrInt16, {0.0, 2.0});
    answer(0);
    answer(1);
    run("CreatePolarFile");
    EXPECT_EQ(errorNr(), 0);
    ASSERT_EQ(ws().saves().size(), 2u);
    EXPECT_EQ(ws().saves()[0].values(), (std::vector<double>{1.0, 2.0}));  // 2.83 → 2
    EXPECT_EQ(ws().saves()[1].values(), (std::vector<double>{3.0, 0.0}));  // π → 3, π/4 → 0
}

TEST_F(PolarAndEvaluate, PolarFilesRefuseImagesOfDifferentSize) {
    ws().addFmr("re.fmr", 3, 2, 1, 1, kFmrFloat32);
    ws().addFmr("im.fmr", 2, 2, 1, 1, kFmrFloat32);
    answer(0);
    answer(1);
    run("CreatePolarFile");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "Conversion to polar representation did not succeed.");
    EXPECT_TRUE(loggedPart("do not have the same number of voxels"));
    EXPECT_TRUE(ws().saves().empty());

    answer(0);
    answerCancel();
    run("CreatePolarFile");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_TRUE(logged("Could not get FMR data"));
    EXPECT_TRUE(ws().saves().empty());
}

TEST_F(PolarAndEvaluate, PolarFilesReportAFailedSave) {
    ws().addFmr("re.fmr", 2, 1, 1, 1, kFmrFloat32, {1.0, 2.0});
    ws().addFmr("im.fmr", 2, 1, 1, 1, kFmrFloat32, {1.0, 2.0});
    blockSaves();
    answer(0);
    answer(1);
    run("CreatePolarFile");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_TRUE(logged("The magnitude image could not be saved as re_magnitude.fmr."));
    EXPECT_TRUE(logged("The phase image could not be saved as im_phase.fmr."));
}

TEST_F(PolarAndEvaluate, EvaluateNeedsTwoDocuments) {
    ws().addFmr("a.fmr", 2, 1, 1, 1, kFmrFloat32);
    params().setString("DifferenceImgName", "old");
    run("Evaluate");
    EXPECT_TRUE(logged("This function requires 2 functional images to be open in Velmora."));
    EXPECT_TRUE(session().dialogs.empty());
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "Evaluation procedure did not succeed.");
    EXPECT_EQ(params().getString("DifferenceImgName"), "old");
}

TEST_F(PolarAndEvaluate, EvaluateSubtractsEveryVolume) {
    std::vector<double> a(16);
    std::vector<double> b(16);
    for (int i = 0; i < 16; ++i) {
        a[i] = 10.5 * i - 3.0;
        b[i] = 0.25 * i * i;
    }
    ws().addFmr("dir/a.fmr", 2, 2, 1, 4, kFmrFloat32, a);
    ws().addFmr("dir/b.fmr", 2, 2, 1, 4, kFmrFloat32, b);
    answer(0);
    answer(1);
    run("Evaluate");
    EXPECT_EQ(errorNr(), 0);
    ASSERT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "b_diffimg.fmr");
    EXPECT_EQ(ws().saves()[0].volumes, 4);
    std::vector<double> difference(16);
    for (int i = 0; i < 16; ++i) difference[i] = a[i] - b[i];
    EXPECT_EQ(ws().saves()[0].values(), asFloats(difference));
    EXPECT_TRUE(logged("Subtracted\n dir/b.fmr\nfrom\n dir/a.fmr.\nNew name:\nb_diffimg.fmr"));
    EXPECT_EQ(params().getString("DifferenceImgName"), "b_diffimg.fmr");

    // The same document twice gives zeros.
    answer(1);
    answer(1);
    run("Evaluate");
    EXPECT_EQ(errorNr(), 0);
    ASSERT_EQ(ws().saves().size(), 2u);
    EXPECT_EQ(ws().saves()[1].values(), std::vector<double>(16, 0.0));
}

TEST_F(PolarAndEvaluate, EvaluateGoesByVoxelCountNotShape) {
    ws().addFmr("a.fmr", 4, 2, 1, 1, kFmrFloat32, {1, 2, 3, 4, 5, 6, 7, 8});
    ws().addFmr("b.fmr", 2, 4, 1, 1, kFmrFloat32, {1, 1, 1, 1, 1, 1, 1, 1});
    ws().addFmr("c.fmr", 3, 2, 1, 1, kFmrFloat32);
    params().setString("DifferenceImgName", "old");
    answer(0);
    answer(1);
    run("Evaluate");
    EXPECT_EQ(errorNr(), 0);
    EXPECT_EQ(ws().saves().back().values(), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7}));

    params().setString("DifferenceImgName", "old");
    answer(0);
    answer(2);
    run("Evaluate");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_TRUE(logged("Images do not have same number of voxels, subtraction not possible."));
    EXPECT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(params().getString("DifferenceImgName"), "old");

    answerCancel();
    answerCancel();
    run("Evaluate");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_TRUE(logged("Neither image could be obtained, subtraction not possible."));
    EXPECT_EQ(ws().saves().size(), 1u);
}

TEST_F(PolarAndEvaluate, EvaluateReportsAFailedSave) {
    ws().addFmr("a.fmr", 2, 1, 1, 1, kFmrFloat32, {1, 2});
    ws().addFmr("b.fmr", 2, 1, 1, 1, kFmrFloat32, {1, 1});
    params().setString("DifferenceImgName", "old");
    blockSaves();
    answer(0);
    answer(1);
    run("Evaluate");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "Evaluation procedure did not succeed.");
    EXPECT_TRUE(logged("The difference image could not be saved as b_diffimg.fmr."));
    EXPECT_EQ(params().getString("DifferenceImgName"), "old");
}
