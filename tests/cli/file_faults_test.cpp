// Faults injected at every file operation of a whole run: `ondrift correct`, and a "Start"
// chain of the stand-in host played by a session script. The test layer (tests/fault/, preloaded)
// makes the n-th operation that changes a file fail, for every n the run has, once as a single
// failure and once as a disk that is full from then on. Every such run must fail with exit code 1
// and a message, leave the inputs as they were, and leave nothing half-made: no output folder of
// `correct` at all, and from the script only complete projects, no temporary files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "cli/phantom/phantom.h"
#include "cli_test_support.h"
#include "host/project_files.h"

namespace fs = std::filesystem;
using ondrift::testing::CommandRun;
using ondrift::testing::ScratchFolder;

namespace {

using Hashes = std::map<std::string, std::uint64_t>;

std::uint64_t hashFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::uint64_t h = 1469598103934665603ull;
    for (std::istreambuf_iterator<char> it(in), end; it != end; ++it) {
        h = (h ^ static_cast<unsigned char>(*it)) * 1099511628211ull;
    }
    return h;
}

/// Every file below `folder` (names relative to it) with the hash of its contents.
Hashes hashTree(const fs::path& folder) {
    Hashes out;
    if (!fs::exists(folder)) return out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(e.path(), folder).string();
        out[name] = e.is_regular_file() ? hashFile(e.path()) : 0;
    }
    return out;
}

struct FaultRun {
    CommandRun run;
    long operations = 0;  ///< counted operations
    long failures = 0;    ///< operations that were made to fail
};

/// `ondrift ARGS` with the test layer preloaded, in `folder`.
FaultRun runWithFaults(const std::string& args, const ScratchFolder& scratch,
                       const fs::path& folder, long failAt, const char* mode) {
    const std::string countFile = scratch / ".count";
    const std::string errFile = scratch / ".stderr";
    const std::string command =
        "cd \"" + folder.string() + "\" && LD_PRELOAD=\"" + ONDRIFT_FAULT_LAYER +
        "\" ONDRIFT_FAULT_AT=" + std::to_string(failAt) + " ONDRIFT_FAULT_MODE=" + mode +
        " ONDRIFT_FAULT_TRACE=1" + " ONDRIFT_FAULT_COUNT=\"" + countFile + "\" \"" +
        ONDRIFT_EXECUTABLE + "\" -q " + args + " >/dev/null 2>\"" + errFile + "\"";
    const int status = std::system(command.c_str());
    FaultRun r;
    r.run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.run.err = ondrift::testing::readText(errFile);
    std::ifstream(countFile) >> r.operations >> r.failures;
    fs::remove(errFile);
    fs::remove(countFile);
    return r;
}

class FileFaults : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(ONDRIFT_SANITIZED)
        GTEST_SKIP() << "the sanitizers replace the same C library functions as the test layer";
#endif
        ondrift::cli::PhantomOptions o;
        o.dims = {20, 20, 6};
        o.volumes = 2;
        o.peDirection = 4;
        files = ondrift::cli::writePhantom(ondrift::cli::makePhantom(o), scratch / "in", nullptr);
        inputs = hashTree(scratch.path() / "in");
    }

    /// Runs `args` once counting, then once per operation and mode with that operation failing;
    /// `check` looks at what each failed run left in `work`.
    template <typename Check>
    void everyOperation(const std::string& label, const std::string& args, const fs::path& work,
                        Check check) {
        fs::remove_all(work);
        fs::create_directories(work);
        const Hashes before = hashTree(work);
        const FaultRun clean = runWithFaults(args, scratch, work, 0, "once");
        ASSERT_EQ(clean.run.exitCode, 0) << clean.run.err;
        ASSERT_GT(clean.operations, 5);
        std::printf("%s: %ld file operations, each failed in turn\n", label.c_str(),
                    clean.operations);
        for (const char* mode : {"once", "full"}) {
            for (long n = 1; n <= clean.operations; ++n) {
                fs::remove_all(work);
                fs::create_directories(work);
                const FaultRun r = runWithFaults(args, scratch, work, n, mode);
                // A disk that fills up after the last write does no harm.
                if (r.failures == 0) {
                    EXPECT_EQ(r.run.exitCode, 0) << r.run.err;
                    continue;
                }
                const std::string where =
                    std::string(mode) + " at operation " + std::to_string(n) + ": " + r.run.err;
                EXPECT_EQ(r.run.exitCode, 1) << where;
                EXPECT_NE(r.run.err.find("ondrift: "), std::string::npos) << where;
                EXPECT_EQ(hashTree(scratch.path() / "in"), inputs) << where;
                check(work, before, where);
                if (::testing::Test::HasFailure()) return;  // one clear report, not hundreds
            }
        }
    }

    ScratchFolder scratch{"faults"};
    ondrift::cli::PhantomFiles files;
    Hashes inputs;
};

TEST_F(FileFaults, CorrectLeavesNoOutputFolderWhenAnyWriteFails) {
    const fs::path work = scratch.path() / "work";
    const std::string args = "correct --phase \"" + files.phase + "\" --magnitude \"" +
                             files.magnitude + "\" --epi \"" + files.bold + "\" --out out";
    const auto nothingLeft = [](const fs::path& folder, const Hashes& before,
                                const std::string& where) {
        EXPECT_FALSE(fs::exists(folder / "out")) << where;
        EXPECT_EQ(hashTree(folder), before) << where;
    };
    everyOperation("correct", args, work, nothingLeft);
    // Also with the host's projects and the plug-in's AMR images written along the way.
    everyOperation("correct --keep-projects", args + " --keep-projects", work, nothingLeft);
}

TEST_F(FileFaults, StartChainLeavesOnlyCompleteProjects) {
    const fs::path work = scratch.path() / "chain";
    fs::create_directories(work);
    std::ofstream(work / "chain.txt")
        << "open fmr \"" << files.phase << "\" phase.fmr\n"
        << "open fmr \"" << files.magnitude << "\" magnitude.fmr\n"
        << "open fmr \"" << files.bold << "\" bold.fmr\n"
        << "set string Procedure Unwrap\nset int PerformAllSteps 1\n"
        << "set int UnwrappingMethod 1\nset int NrOfVCycles 2\nset int NrOfIterations 3\n"
        << "set int PhaseToRadians 1\nset int MaskLaplacian 1\n"
        << "set float BandWidthPE 25\nset float EchoTimeDiff 2.46\nset int PhaseEncodingDir 4\n"
        << "answer doc phase.fmr\nanswer doc magnitude.fmr\nanswer doc bold.fmr\n"
        << "execute Start\nexpect ok\n";
    const std::string script = (work / "chain.txt").string();
    const fs::path out = scratch.path() / "chain-out";
    everyOperation("Start chain", "run \"" + script + "\"", out,
                   [&](const fs::path& folder, const Hashes&, const std::string& where) {
                       EXPECT_TRUE(fs::exists(script)) << where;
                       for (const auto& e : fs::directory_iterator(folder)) {
                           const std::string name = e.path().filename().string();
                           EXPECT_EQ(name.find(".partial"), std::string::npos)
                               << name << ", " << where;
                           if (e.path().extension() != ".fmr") continue;
                           std::string error;
                           EXPECT_NE(ondrift::standin::readFmrProject(e.path(), error), nullptr)
                               << error << ", " << where;
                       }
                   });
}

}  // namespace
