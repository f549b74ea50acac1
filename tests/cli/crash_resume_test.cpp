// The command killed part way, as a crash or a power cut would stop it, then run again: the test
// layer (tests/fault/, preloaded) kills the whole process group (SIGKILL) before the n-th
// operation that changes a file, at points spread over a run of `ondrift correct` and of
// `ondrift bids -j 2`. The rerun must exit 0 and leave exactly what an uninterrupted run leaves:
// the same files with the same bytes, nothing half-made beside them. A finished run whose
// corrected series is cut short afterwards is made again, and a changed input too.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "bids_test_dataset.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"

namespace fs = std::filesystem;
using namespace ondrift::testing;

// Subject styles are written with designated initializers; the members left out keep their
// defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Made fresh by every run (timings, the paths of the folder): compared by name only.
bool comparedByName(const std::string& name) {
    return name.ends_with("ondrift.json") || name.ends_with("_record.json") ||
           name.ends_with(".log") || name.ends_with(".html") || name.ends_with("ondrift_bids.json");
}

/// Every file below `folder`, by name relative to it, with its bytes (or "" when compared by
/// name only).
std::map<std::string, std::string> contents(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(e.path(), folder).generic_string();
        if (!e.is_regular_file()) {
            out[name + "/"] = "";
        } else {
            out[name] = comparedByName(name) ? "" : readText(e.path());
        }
    }
    return out;
}

/// The names that one of the two trees lacks or holds with other bytes; empty when equal.
std::string differences(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& expected) {
    std::string out;
    for (const auto& [name, bytes] : got) {
        const auto it = expected.find(name);
        if (it == expected.end())
            out += " extra " + name;
        else if (it->second != bytes)
            out += " differs " + name;
    }
    for (const auto& [name, bytes] : expected) {
        if (!got.contains(name)) out += " missing " + name;
    }
    return out;
}

/// The largest number of counted operations of any process of `command` (forked children
/// count on from their parent), run uninterrupted with the test layer.
long countOperations(const std::string& command, const ScratchFolder& scratch) {
    const std::string countFile = scratch / ".count";
    fs::remove(countFile);
    const std::string line = "LD_PRELOAD=\"" + std::string(ONDRIFT_FAULT_LAYER) +
                             "\" ONDRIFT_FAULT_COUNT=\"" + countFile + "\" " + command +
                             " >/dev/null 2>&1";
    EXPECT_EQ(std::system(line.c_str()), 0) << line;
    long most = 0;
    std::ifstream in(countFile);
    for (long counted = 0, failed = 0; in >> counted >> failed;) most = std::max(most, counted);
    return most;
}

/// True while a process of the group `group` exists (a killed one may still be finishing a
/// system call, or wait to be collected).
bool groupRuns(long group) {
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::ifstream stat(e.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string state;
        long parent = 0, processGroup = 0;
        fields >> state >> parent >> processGroup;
        if (processGroup == group && state != "Z" && state != "X") return true;
    }
    return false;
}

/// Runs `command` in a process group of its own with the layer killing the group before the
/// n-th operation, and waits until every process of the group has ended; true when it was
/// killed.
bool killedAt(const std::string& command, long n, const ScratchFolder& scratch) {
    const std::string groupFile = scratch / ".group";
    const std::string line = "LD_PRELOAD=\"" + std::string(ONDRIFT_FAULT_LAYER) +
                             "\" ONDRIFT_FAULT_MODE=kill ONDRIFT_FAULT_AT=" + std::to_string(n) +
                             " setsid -w sh -c 'echo $$ >\"" + groupFile +
                             "\"; exec \"$0\" \"$@\"' " + command + " >/dev/null 2>&1";
    const int status = std::system(line.c_str());
    long group = 0;
    std::ifstream(groupFile) >> group;
    for (int wait = 0; group > 0 && groupRuns(group) && wait < 1000; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/// About `count` operations spread over 1…total, and every one of the last `tail` (where the
/// results are moved into place).
std::vector<long> killPoints(long total, long count, long tail) {
    std::set<long> points;
    for (long k = 1; k <= count; ++k) points.insert(std::max(1L, total * k / (count + 1)));
    for (long n = std::max(1L, total - tail + 1); n <= total; ++n) points.insert(n);
    return {points.begin(), points.end()};
}

class CrashResume : public ::testing::Test {
protected:
    /// Two runs sharing one field map, and a second subject with two phase images.
    fs::path writeDataset() {
        const fs::path ds = scratch.path() / "ds";
        writeDescription(ds);
        const SubjectFiles s1 = writeSubject(ds, {.label = "01", .run = "1", .b0Identifier = true});
        const fs::path func = ds / s1.bold.parent_path();
        fs::copy_file(ds / s1.bold, func / "sub-01_task-rest_run-2_bold.nii.gz");
        fs::copy_file(func / (s1.boldStem + ".json"), func / "sub-01_task-rest_run-2_bold.json");
        writeSubject(ds,
                     {.label = "02", .kind = FmapKind::TwoPhases, .peDirection = 4, .gzip = false});
        return ds;
    }

    /// Kills `args` (with OUT standing for the output folder) at each point, reruns it
    /// unpreloaded and compares with an uninterrupted run.
    void killAndRerun(const std::string& label, const std::string& args, long count, long tail) {
        const auto argsFor = [&](const fs::path& out) {
            std::string a = args;
            return a.replace(a.find("OUT"), 3, "\"" + out.string() + "\"");
        };
        const auto command = [&](const fs::path& out) {
            return "\"" + std::string(ONDRIFT_EXECUTABLE) + "\" -q " + argsFor(out);
        };
        const fs::path reference = scratch.path() / (label + "-reference");
        ASSERT_EQ(std::system((command(reference) + " >/dev/null 2>&1").c_str()), 0);
        const auto expected = contents(reference);
        const fs::path out = scratch.path() / (label + "-out");
        fs::remove_all(out);
        const long total = countOperations(command(out), scratch);
        ASSERT_GT(total, 10);
        const std::vector<long> points = killPoints(total, count, tail);
        int killed = 0;
        for (const long n : points) {
            fs::remove_all(out);
            killed += killedAt(command(out), n, scratch);
            const CommandRun rerun = runOndrift(argsFor(out), scratch);
            const std::string where = label + " killed before operation " + std::to_string(n) +
                                      " of " + std::to_string(total) + ": " + rerun.err;
            ASSERT_EQ(rerun.exitCode, 0) << where;
            EXPECT_EQ(differences(contents(out), expected), "") << where;
            if (HasFailure()) return;
        }
        std::printf(
            "%s: %ld file operations; killed at %zu points (%d before the end), each "
            "rerun equal to an uninterrupted run\n",
            label.c_str(), total, points.size(), killed);
        EXPECT_GE(killed, static_cast<int>(points.size()) / 2);
    }

    ScratchFolder scratch{"crash"};
};

TEST_F(CrashResume, CorrectKilledAnywhereThenRerun) {
#if defined(ONDRIFT_SANITIZED)
    GTEST_SKIP() << "the sanitizers replace the same C library functions as the test layer";
#endif
    ondrift::cli::PhantomOptions o;
    o.dims = {20, 20, 6};
    o.volumes = 2;
    const auto files =
        ondrift::cli::writePhantom(ondrift::cli::makePhantom(o), scratch / "in", nullptr);
    const std::string args = "correct --phase \"" + files.phase + "\" --magnitude \"" +
                             files.magnitude + "\" --epi \"" + files.bold + "\" --out OUT";
    // The results move into place within the last few operations: every one of them.
    killAndRerun("correct", args, 8, 14);
}

TEST_F(CrashResume, BidsKilledAnywhereThenRerun) {
#if defined(ONDRIFT_SANITIZED)
    GTEST_SKIP() << "the sanitizers replace the same C library functions as the test layer";
#endif
    const fs::path ds = writeDataset();
    killAndRerun("bids", "bids \"" + ds.string() + "\" OUT participant --skip-bids-validation -j 2",
                 12, 10);
    if (HasFailure()) return;
    // The last rerun's records match its results: a further call keeps them all.
    const CommandRun run =
        runOndrift("bids \"" + ds.string() + "\" \"" + (scratch.path() / "bids-out").string() +
                       "\" participant --skip-bids-validation",
                   scratch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("3 runs: 0 corrected, 3 complete already"), std::string::npos)
        << run.err;
}

TEST_F(CrashResume, BidsRemakesWhatIsDamagedOrStale) {
    const fs::path ds = writeDataset();
    const fs::path out = scratch.path() / "out";
    const std::string bids =
        "bids \"" + ds.string() + "\" \"" + out.string() + "\" participant --skip-bids-validation";
    CommandRun run = runOndrift(bids, scratch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto expected = contents(out);

    // A corrected series cut short, as a crash could leave it: made again, same values.
    const fs::path bold = out / "sub-01/func/sub-01_task-rest_run-2_desc-undistorted_bold.nii.gz";
    fs::resize_file(bold, fs::file_size(bold) / 2);
    run = runOndrift(bids, scratch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("made again: output damaged: sub-01/func/"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("1 corrected, 2 complete already"), std::string::npos) << run.err;
    EXPECT_EQ(differences(contents(out), expected), "");

    // A changed input (a sidecar fixed) remakes the runs made from it, a file of the user's in
    // the derivatives is kept, and --overwrite still remakes everything.
    const fs::path sidecar = ds / "sub-02/func/sub-02_task-rest_bold.json";
    writeText(sidecar.string(), readText(sidecar).insert(1, "\"Manufacturer\": \"x\", "));
    writeText((out / "sub-02/func/notes.txt").string(), "mine");
    run = runOndrift(bids, scratch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("made again: inputs changed: sub-02/func/sub-02_task-rest_bold.nii "
                           "(its sidecar)"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("1 corrected, 2 complete already"), std::string::npos) << run.err;
    EXPECT_EQ(readText(out / "sub-02/func/notes.txt"), "mine");
    run = runOndrift(bids + " --overwrite", scratch);
    EXPECT_NE(run.err.find("3 corrected, 0 complete already"), std::string::npos) << run.err;
}

}  // namespace
