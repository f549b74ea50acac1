// Shared helpers of the command's tests: scratch folders and running the built executable.
#ifndef ONDRIFT_TESTS_CLI_SUPPORT_H
#define ONDRIFT_TESTS_CLI_SUPPORT_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ondrift::testing {

/// A fresh folder, removed with the object.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                ("ondrift-cli-" + name + "-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct CommandRun {
    int exitCode = -1;
    std::string err;  ///< standard error
    std::string out;  ///< standard output
};

inline std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/// Runs `ondrift ARGS` through the shell, capturing both streams.
inline CommandRun runOndrift(const std::string& args, const ScratchFolder& scratch) {
    const std::string errFile = scratch / ".stderr";
    const std::string outFile = scratch / ".stdout";
    const std::string command = std::string("\"") + ONDRIFT_EXECUTABLE + "\" " + args + " >\"" +
                                outFile + "\" 2>\"" + errFile + "\"";
    const int status = std::system(command.c_str());
    CommandRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = readText(errFile);
    run.out = readText(outFile);
    std::filesystem::remove(errFile);
    std::filesystem::remove(outFile);
    return run;
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace ondrift::testing

#endif
