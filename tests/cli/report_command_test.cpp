// The report and the polarity check through the command: a phantom whose sidecar carries the
// wrong phase-encoding sign is warned about, and --pe-dir auto corrects it as well as the right
// sign, on the gentle field and on the scanner-like one in every in-plane direction; the report is
// self-contained; unit mistakes stop the run with exit code 2.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::CommandRun;
using ondrift::testing::readText;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

const char* kBold = "sub-phantom_task-rest_bold";

class ReportCommand : public ::testing::Test {
protected:
    ScratchFolder scratch{"report"};

    std::string args(const PhantomFiles& f, const std::string& out) {
        return "correct -q --phase \"" + f.phase + "\" --magnitude \"" + f.magnitude +
               "\" --epi \"" + f.bold + "\" --out \"" + (scratch / out) + "\"";
    }
    nlohmann::json summary(const std::string& out) {
        return nlohmann::json::parse(readText(scratch.path() / out / "ondrift.json"));
    }
    double error(const Phantom& p, const std::string& out) {
        const NiftiImage image =
            readNifti((scratch.path() / out / (std::string(kBold) + "_undistort.nii.gz")).string(),
                      {}, nullptr);
        return relativeError(image.data, p.truth, p.evaluationMask);
    }
};

// Sets a sidecar key of a written phantom.
void setSidecar(const std::string& niftiPath, const std::string& key, nlohmann::json value) {
    const std::string path = niftiPath.substr(0, niftiPath.size() - 7) + ".json";
    auto fields = nlohmann::json::parse(readText(path));
    fields[key] = std::move(value);
    ondrift::testing::writeText(path, fields.dump());
}

// The gentle field that the correction handles today (as in the correction tests).
PhantomOptions gentle(std::array<int, 3> dims) {
    PhantomOptions o;
    o.dims = dims;
    o.volumes = 2;
    o.fieldShape = FieldShape::Simple;
    o.effectiveEchoSpacing = 0.0005;
    o.echoTime1 = 0.004;
    o.echoTime2 = 0.019;
    return o;
}

}  // namespace

TEST_F(ReportCommand, AFlippedSignIsWarnedAboutAndAutoCorrectsItAsTheRightSignDoes) {
    PhantomOptions o = gentle({40, 40, 12});
    o.peDirection = 2;  // i-, in a tilted and mirrored grid
    o.tiltDegrees = 15;
    o.flipI = true;
    const Phantom p = makePhantom(o);
    const PhantomFiles files = writePhantom(p, scratch / "in", nullptr);

    const CommandRun right = runOndrift(args(files, "right"), scratch);
    ASSERT_EQ(right.exitCode, 0) << right.err;
    EXPECT_EQ(right.err.find("POLARITY"), std::string::npos) << right.err;
    EXPECT_EQ(summary("right")["polarityCheck"]["verdict"], "consistent");

    setSidecar(files.bold, "PhaseEncodingDirection", "i");
    const CommandRun wrong = runOndrift(args(files, "wrong"), scratch);
    ASSERT_EQ(wrong.exitCode, 0) << wrong.err;
    EXPECT_NE(wrong.err.find("POLARITY CHECK: the opposite phase-encoding sign (i-)"),
              std::string::npos)
        << wrong.err;
    const auto w = summary("wrong");
    EXPECT_EQ(w["polarityCheck"]["verdict"], "opposite sign better");
    EXPECT_GT(w["polarityCheck"]["scoreOpposite"].get<double>(),
              w["polarityCheck"]["scoreUsed"].get<double>());
    EXPECT_GT(error(p, "wrong"), error(p, "right") * 2);
    const std::string wrongPage =
        readText(scratch.path() / "wrong" / (std::string(kBold) + "_report.html"));
    EXPECT_NE(wrongPage.find("class=\"alarm\""), std::string::npos);

    const CommandRun automatic = runOndrift(args(files, "auto") + " --pe-dir auto", scratch);
    ASSERT_EQ(automatic.exitCode, 0) << automatic.err;
    const auto a = summary("auto");
    EXPECT_EQ(a["parameters"]["PhaseEncodingDir"]["value"], 2);
    EXPECT_EQ(a["polarityCheck"]["verdict"], "consistent");
    EXPECT_EQ(error(p, "auto"), error(p, "right"));
    // Only the second run's files remain, the same set as with the right sign.
    std::size_t files1 = 0, files2 = 0;
    for (const auto& e : fs::directory_iterator(scratch.path() / "right"))
        files1 += e.is_regular_file();
    for (const auto& e : fs::directory_iterator(scratch.path() / "auto"))
        files2 += e.is_regular_file();
    EXPECT_EQ(files1, files2);
}

TEST_F(ReportCommand, TheReportIsSelfContainedAndHasEverySection) {
    const PhantomOptions o = gentle({36, 36, 10});
    const Phantom p = makePhantom(o);
    const PhantomFiles files = writePhantom(p, scratch / "in", nullptr);
    const CommandRun run = runOndrift(args(files, "out"), scratch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto s = summary("out");
    EXPECT_EQ(s["report"], std::string(kBold) + "_report.html");
    EXPECT_GT(s["shifts"]["headVoxels"].get<int>(), 0);
    EXPECT_LT(s["shifts"]["percentiles"]["p1"].get<double>(),
              s["shifts"]["percentiles"]["p99"].get<double>());
    const std::string page = readText(scratch.path() / "out" / s["report"].get<std::string>());
    for (const char* id : {"inputs", "parameters", "warnings", "polarity", "fieldmap",
                           "beforeafter", "shifts", "foldover", "unwrapping"}) {
        EXPECT_NE(page.find("id=\"" + std::string(id) + "\""), std::string::npos) << id;
    }
    // Every picture embedded; no reference to anything outside the file.
    const std::regex source(R"re((src|href)\s*=\s*"([^"]*)")re");
    int pictures = 0;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), source);
         it != std::sregex_iterator(); ++it) {
        EXPECT_EQ((*it)[2].str().rfind("data:image/png;base64,", 0), 0u)
            << (*it)[2].str().substr(0, 60);
        ++pictures;
    }
    EXPECT_GE(pictures, 12);
    for (const char* remote : {"http:", "https:", "ftp:", "@import", "<script", "url(h"}) {
        EXPECT_EQ(page.find(remote), std::string::npos) << remote;
    }
    // --no-report leaves it out.
    const CommandRun none = runOndrift(args(files, "none") + " --no-report", scratch);
    ASSERT_EQ(none.exitCode, 0) << none.err;
    EXPECT_FALSE(fs::exists(scratch.path() / "none" / (std::string(kBold) + "_report.html")));
}

TEST_F(ReportCommand, AUnitMistakeStopsWithExitCodeTwoUnlessForced) {
    const PhantomOptions o = gentle({32, 32, 8});
    const Phantom p = makePhantom(o);
    const PhantomFiles files = writePhantom(p, scratch / "in", nullptr);
    setSidecar(files.bold, "EffectiveEchoSpacing", 0.5);  // 0.5 ms, given in ms
    const CommandRun refused = runOndrift(args(files, "refused"), scratch);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("EffectiveEchoSpacing"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("milliseconds"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(scratch.path() / "refused"));
    const CommandRun forced = runOndrift(args(files, "forced") + " --force", scratch);
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_NE(forced.err.find("--force"), std::string::npos) << forced.err;
}

TEST_F(ReportCommand, OnTheScannerLikePhantomAFlippedSignIsFoundInEveryDirection) {
    // The scanner-like field: a shim gradient, lobes by the air cavities with signal dropout,
    // noise outside the head. With the command's defaults the right sign corrects it well, so
    // the two signs differ clearly: the wrong one is warned about, and --pe-dir auto gives the
    // right sign's result.
    const char* flipped[] = {"", "i-", "i", "j-", "j"};
    for (const int pe : {1, 2, 3, 4}) {
        SCOPED_TRACE(pe);
        PhantomOptions o;
        o.dims = {48, 48, 14};
        o.volumes = 2;
        o.peDirection = pe;
        o.flipI = pe <= 2;
        const Phantom p = makePhantom(o);
        const std::string tag = std::to_string(pe);
        const PhantomFiles files = writePhantom(p, scratch / ("in" + tag), nullptr);
        const CommandRun right = runOndrift(args(files, "right" + tag), scratch);
        ASSERT_EQ(right.exitCode, 0) << right.err;
        EXPECT_EQ(right.err.find("POLARITY"), std::string::npos) << right.err;
        EXPECT_EQ(summary("right" + tag)["polarityCheck"]["verdict"], "consistent");

        setSidecar(files.bold, "PhaseEncodingDirection", flipped[pe]);
        const CommandRun wrong = runOndrift(args(files, "wrong" + tag), scratch);
        ASSERT_EQ(wrong.exitCode, 0) << wrong.err;
        EXPECT_NE(wrong.err.find("POLARITY CHECK"), std::string::npos) << wrong.err;
        EXPECT_EQ(summary("wrong" + tag)["polarityCheck"]["verdict"], "opposite sign better");
        EXPECT_GT(error(p, "wrong" + tag), 3 * error(p, "right" + tag));

        const CommandRun automatic =
            runOndrift(args(files, "auto" + tag) + " --pe-dir auto", scratch);
        ASSERT_EQ(automatic.exitCode, 0) << automatic.err;
        EXPECT_EQ(summary("auto" + tag)["parameters"]["PhaseEncodingDir"]["value"], pe);
        EXPECT_EQ(error(p, "auto" + tag), error(p, "right" + tag));
    }
}
