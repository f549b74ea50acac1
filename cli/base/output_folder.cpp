#include "cli/base/output_folder.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/base/errors.h"
#include "cli/base/leftovers.h"
#include "host/disk_flush.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

const fs::path kSummaryName = "ondrift.json";
/// In the staging folder while its files are moved: what a killed run had begun to move.
const std::string kCommitList = ".commit-list";

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

}  // namespace

OutputFolder::OutputFolder(const std::string& folder, bool overwrite,
                           const std::vector<std::string>& inputs)
    : folder_(fs::absolute(folder).lexically_normal()), overwrite_(overwrite) {
    for (const auto& input : inputs) {
        if (!input.empty()) inputs_.push_back(fs::absolute(input).lexically_normal());
    }
    std::error_code ec;
    if (fs::exists(folder_, ec) && !fs::is_directory(folder_, ec)) {
        throw InputError(folder + ": the output folder is an existing file");
    }
    for (const auto& input : inputs_) {
        if (sameFile(input, folder_)) throw InputError(folder + ": the output folder is an input");
    }
    if (!overwrite_ && fs::exists(folder_ / kSummaryName, ec)) {
        throw InputError(folder +
                         ": holds the results of an earlier run (use --overwrite or "
                         "another folder)");
    }
}

OutputFolder::~OutputFolder() {
    std::error_code ec;
    if (!staging_.empty()) fs::remove_all(staging_, ec);
    if (createdFolder_ && fs::is_empty(folder_, ec)) fs::remove(folder_, ec);
}

void OutputFolder::create() {
    std::error_code ec;
    if (!fs::exists(folder_, ec)) {
        fs::create_directories(folder_, ec);
        if (ec)
            throw ProcessingError(folder_.string() + ": cannot create the folder: " + ec.message());
        createdFolder_ = true;
    }
    leftByKilledRun_ = removeStaleStaging(folder_, kCommitList);
    staging_ = folder_ / stagingName();
    fs::remove_all(staging_, ec);
    fs::create_directory(staging_, ec);
    if (ec)
        throw ProcessingError(staging_.string() + ": cannot create the folder: " + ec.message());
}

std::vector<fs::path> OutputFolder::commit() {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(staging_)) {
        if (entry.is_regular_file() && entry.path().filename() != kCommitList) {
            names.push_back(entry.path().filename());
        }
    }
    // ondrift.json last: a folder that holds it holds every result of its run.
    std::sort(names.begin(), names.end(), [](const fs::path& a, const fs::path& b) {
        return std::make_pair(a == kSummaryName, a) < std::make_pair(b == kSummaryName, b);
    });
    for (const auto& name : names) {
        const fs::path target = folder_ / name;
        for (const auto& input : inputs_) {
            if (sameFile(input, target)) {
                throw InputError(target.string() +
                                 ": an output would overwrite this input; "
                                 "choose another output folder");
            }
        }
        std::error_code ec;
        const bool ours = std::find(leftByKilledRun_.begin(), leftByKilledRun_.end(), name) !=
                          leftByKilledRun_.end();
        if (!overwrite_ && !ours && fs::exists(target, ec)) {
            throw InputError(target.string() +
                             ": exists already (use --overwrite or another folder)");
        }
    }
    // Older files that the results replace are first moved aside into the staging folder, so
    // that a failure half way can put the folder back as it was: all results or none.
    const fs::path previous = staging_ / ".previous";
    std::vector<fs::path> done;
    std::vector<fs::path> setAside;
    auto rollBack = [&] {
        std::error_code ignored;
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            fs::rename(*it, staging_ / it->filename(), ignored);
        }
        for (const auto& name : setAside) fs::rename(previous / name, folder_ / name, ignored);
    };
    // On the disk before any of them appears under its name.
    std::string error;
    std::string list;
    for (const auto& name : names) {
        if (!standin::flushFile(staging_ / name, error)) throw ProcessingError(error);
        list += name.string() + "\n";
    }
    writeFileAtomically(staging_ / kCommitList, list);
    const auto setAsideOlder = [&](const fs::path& name) {
        const fs::path target = folder_ / name;
        std::error_code ec;
        if (!fs::exists(target, ec)) return;
        fs::create_directory(previous, ec);
        if (!ec) fs::rename(target, previous / name, ec);
        if (ec) {
            rollBack();
            throw ProcessingError(target.string() + ": cannot replace: " + ec.message());
        }
        setAside.push_back(name);
    };
    // An earlier summary goes aside first: while files move, the folder holds none.
    if (!names.empty() && names.back() == kSummaryName) setAsideOlder(kSummaryName);
    for (const auto& name : names) {
        const fs::path target = folder_ / name;
        setAsideOlder(name);
        std::error_code ec;
        fs::rename(staging_ / name, target, ec);
        if (ec) {
            rollBack();
            throw ProcessingError(target.string() + ": cannot move into place: " + ec.message());
        }
        done.push_back(target);
    }
    if (!standin::flushFolder(folder_, error) ||
        (createdFolder_ && !standin::flushFolder(folder_.parent_path(), error))) {
        throw ProcessingError(error);
    }
    return done;
}

WorkingDirectory::WorkingDirectory(const fs::path& directory) : previous_(fs::current_path()) {
    fs::current_path(directory);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

void writeFileAtomically(const fs::path& path, const std::string& text) {
    // Several processes may write the same file (runs of one data set sharing its description):
    // each through a temporary name of its own.
    const fs::path temporary = temporaryFor(path);
    std::string error;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(temporary.c_str(), "wb"),
                                                            &std::fclose);
        bool ok = out != nullptr &&
                  std::fwrite(text.data(), 1, text.size(), out.get()) == text.size() &&
                  standin::flushStream(out.get(), error);
        if (out != nullptr && std::fclose(out.release()) != 0) ok = false;
        if (!ok) {
            std::error_code ec;
            fs::remove(temporary, ec);
            throw ProcessingError(path.string() + ": cannot write" +
                                  (error.empty() ? "" : ": " + error));
        }
    }
    if (!standin::renameFile(temporary, path, error)) {
        std::error_code ec;
        fs::remove(temporary, ec);
        throw ProcessingError(path.string() + ": cannot move into place");
    }
    if (!standin::flushFolder(path.parent_path(), error)) throw ProcessingError(error);
}

}  // namespace ondrift::cli
