#include "cli/base/leftovers.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <optional>

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStagingPrefix = ".ondrift-work-";

std::optional<long> processId(std::string_view text) {
    long pid = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (ec != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
    return pid;
}

/// A process of another machine sharing the folder looks gone too; two commands writing the
/// same outputs at once would spoil each other's results anyway.
bool gone(long pid) {
    if (pid == static_cast<long>(getpid())) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    // A killed process stays a zombie until its parent (or init) collects it; it writes
    // nothing more.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() &&
           (text[close + 2] == 'Z' || text[close + 2] == 'X');
}

}  // namespace

fs::path temporaryFor(const fs::path& target) {
    return target.parent_path() /
           ("." + target.filename().string() + "." + std::to_string(getpid()) + ".part");
}

std::string stagingName() { return kStagingPrefix + std::to_string(getpid()); }

void removeStaleTemporaries(const fs::path& target) {
    const std::string prefix = "." + target.filename().string() + ".";
    const std::string suffix = ".part";
    std::error_code ec;
    for (fs::directory_iterator it(target.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(suffix)) {
            continue;
        }
        const auto pid = processId(std::string_view(name).substr(
            prefix.size(), name.size() - prefix.size() - suffix.size()));
        std::error_code ignored;
        if (pid && gone(*pid) && it->is_regular_file(ignored)) fs::remove(it->path(), ignored);
    }
}

std::vector<fs::path> removeStaleStaging(const fs::path& folder, const std::string& commitList) {
    const std::string prefix = kStagingPrefix;
    std::vector<fs::path> listed;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix)) continue;
        const auto pid = processId(std::string_view(name).substr(prefix.size()));
        std::error_code ignored;
        if (!pid || !gone(*pid) || !it->is_directory(ignored)) continue;
        std::ifstream list(it->path() / commitList);
        for (std::string line; std::getline(list, line);) {
            // Plain names only: the list can never reach outside the folder.
            if (!line.empty() && fs::path(line).filename() == fs::path(line) && line != "." &&
                line != "..") {
                listed.emplace_back(line);
            }
        }
        fs::remove_all(it->path(), ignored);
    }
    return listed;
}

}  // namespace ondrift::cli
