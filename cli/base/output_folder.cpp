#include "cli/base/output_folder.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "cli/base/errors.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

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
    if (!overwrite_ && fs::exists(folder_ / "ondrift.json", ec)) {
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
    staging_ = folder_ / (".ondrift-work-" + std::to_string(getpid()));
    fs::remove_all(staging_, ec);
    fs::create_directory(staging_, ec);
    if (ec)
        throw ProcessingError(staging_.string() + ": cannot create the folder: " + ec.message());
}

std::vector<fs::path> OutputFolder::commit() {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(staging_)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
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
        if (!overwrite_ && fs::exists(target, ec)) {
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
    for (const auto& name : names) {
        const fs::path target = folder_ / name;
        std::error_code ec;
        if (fs::exists(target, ec)) {
            fs::create_directory(previous, ec);
            if (!ec) fs::rename(target, previous / name, ec);
            if (ec) {
                rollBack();
                throw ProcessingError(target.string() + ": cannot replace: " + ec.message());
            }
            setAside.push_back(name);
        }
        fs::rename(staging_ / name, target, ec);
        if (ec) {
            rollBack();
            throw ProcessingError(target.string() + ": cannot move into place: " + ec.message());
        }
        done.push_back(target);
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
    const fs::path temporary = path.parent_path() / ("." + path.filename().string() + "." +
                                                     std::to_string(getpid()) + ".part");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temporary, ec);
            throw ProcessingError(path.string() + ": cannot write");
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        throw ProcessingError(path.string() + ": cannot move into place");
    }
}

}  // namespace ondrift::cli
