// Session scripts: every command of the plug-in driven from a script, and the script's own
// errors (syntax: exit 2 with the line; a failed command or expectation: exit 1).
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/app/session_script.h"
#include "cli/base/errors.h"
#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::CommandRun;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
using ondrift::testing::writeText;
namespace fs = std::filesystem;

TEST(SessionScript, WordsQuotesAndComments) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitScriptLine("  set int  NrOfVCycles 2 # two"),
              (V{"set", "int", "NrOfVCycles", "2"}));
    EXPECT_EQ(splitScriptLine(R"(answer path "a b/c \"d\".fmr")"),
              (V{"answer", "path", "a b/c \"d\".fmr"}));
    EXPECT_EQ(splitScriptLine(R"(set string X "")"), (V{"set", "string", "X", ""}));
    EXPECT_EQ(splitScriptLine("set string X a#b"), (V{"set", "string", "X", "a#b"}));
    EXPECT_TRUE(splitScriptLine("   # only a comment").empty());
    EXPECT_THROW(splitScriptLine(R"(answer path "open)"), InputError);
}

TEST(SessionScript, EveryCommandOfThePlugin) {
    ScratchFolder dir("script");
    PhantomOptions o;
    o.dims = {32, 32, 10};
    o.volumes = 2;
    const Phantom phantom = makePhantom(o);
    writePhantom(phantom, dir / "in", nullptr);
    writeText(dir / "session.txt", R"(# the GUI script's conversation, by hand
folder out
open fmr in/sub-phantom_phasediff.nii.gz
open fmr in/sub-phantom_magnitude1.nii.gz
open fmr in/sub-phantom_task-rest_bold.nii.gz bold.fmr

set int FileTypeId 21
set int FileStage 1
answer path "in/phase file.fmr"
answer cancel
execute GetFiles
expect param NrOfFiles 1
answer path in/anatomy.vmr
execute GetFile
expect ok

set string Procedure Unwrap
set int PerformAllSteps 1
set int UnwrappingMethod 1
set int NrOfVCycles 2
set int NrOfIterations 4
set int PhaseToRadians 1
set int MaskLaplacian 1
set float BandWidthPE 62.5
set float EchoTimeDiff 15
set int PhaseEncodingDir 3
answer doc sub-phantom_phasediff.fmr
answer doc sub-phantom_magnitude1.fmr
answer doc bold.fmr
execute Start
expect param NameUndistortedFile bold_undistort.fmr
export nifti bold_undistort.fmr out/bold_undistort.nii.gz like bold.fmr

open fmr out/bold_undistort.fmr
answer doc bold_undistort.fmr
answer doc bold.fmr
execute Evaluate
expect param DifferenceImgName bold_diffimg.fmr

set string RealFile sub-phantom_magnitude1.fmr
set string ImagFile sub-phantom_phasediff.fmr
answer doc sub-phantom_magnitude1.fmr
answer doc sub-phantom_phasediff.fmr
execute CreatePolarFile
expect ok

set string Procedure Undistort
answer cancel
execute Start
expect error "Stopped undistortion procedure"
print param WrPhaseFile
)");
    const CommandRun run = runOndrift("run -q \"" + (dir / "session.txt") + "\"", dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("WrPhaseFile = " + (dir / "in/phase file.fmr")), std::string::npos)
        << run.out;
    for (const char* f :
         {"bold_undistort.fmr", "bold_undistort.stc", "bold_undistort.amr", "bold_diffimg.fmr",
          "sub-phantom_magnitude1_magnitude.fmr", "sub-phantom_phasediff_phase.fmr"}) {
        EXPECT_TRUE(fs::exists(dir.path() / "out" / f)) << f;
    }
    const NiftiImage corrected = readNifti(dir / "out/bold_undistort.nii.gz", {}, nullptr);
    EXPECT_TRUE(corrected.geometry.sameGrid(phantom.seriesGeometry));
    EXPECT_LT(relativeError(corrected.data, phantom.truth, phantom.evaluationMask),
              relativeError(phantom.distorted, phantom.truth, phantom.evaluationMask));
}

TEST(SessionScript, ScriptErrorsAndFailedCommands) {
    ScratchFolder dir("script-errors");
    struct Case {
        const char* script;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"set int X 1\nfrobnicate\n", 2, "session.txt:2: unknown command"},
        {"set int X one\n", 2, "session.txt:1: \"one\" is not an integer"},
        {"answer doc nothing.fmr\n", 2, "no open document is named"},
        {"open fmr absent.nii.gz\n", 2, "no such file"},
        {"set string Procedure Unwrap\nanswer cancel\nexecute Start\nset int X 1\n", 1,
         "session.txt:4: \"Start\" failed"},
        {"set string Procedure Unwrap\nexecute Start\n", 1, "at the end"},
        {"execute GetFile\nexpect error\n", 1, "expected \"GetFile\" to fail"},
        {"execute GetFile\nexpect param FileName x\n", 1, "parameter FileName is \"\""},
    };
    for (const Case& c : cases) {
        writeText(dir / "session.txt", c.script);
        const CommandRun run = runOndrift("run \"" + (dir / "session.txt") + "\"", dir);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.script << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.script << run.err;
    }
}
