// The session script language of `ondrift run`: the line splitter, and whole scripts run against
// the built plug-in in a scratch folder. Scripts that name a path outside that folder (a slash,
// a backslash or "..") are skipped: the fuzzer must not write where it pleases.
#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/app/session_script.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/nifti/nifti_file.h"
#include "fuzz_support.h"
#include "host/standin.h"

namespace {

// The images the seed scripts open: a wrapped phase with a shim gradient, a magnitude with a
// dark background, and a short series, all on one 6 x 6 x 3 grid.
void writeInputs() {
    constexpr int kX = 6, kY = 6, kZ = 3;
    const ondrift::cli::Affine affine{3, 0, 0, -9, 0, 3, 0, -9, 0, 0, 4, -6, 0, 0, 0, 1};
    std::vector<float> phase, magnitude, bold;
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const bool inside = x > 0 && x < kX - 1 && y > 0 && y < kY - 1;
                phase.push_back(static_cast<float>(std::remainder(0.9 * x - 0.5 * y, 6.2831853)));
                magnitude.push_back(inside ? 900.0f + 10.0f * static_cast<float>(x) : 5.0f);
            }
    for (int v = 0; v < 2; ++v)
        for (float m : magnitude) bold.push_back(m * (0.5f + 0.1f * static_cast<float>(v)));
    const auto grid = ondrift::cli::makeGeometry({kX, kY, kZ, 1}, affine);
    ondrift::cli::writeNifti("phase.nii", grid, 1, phase, nullptr);
    ondrift::cli::writeNifti("magnitude.nii", grid, 1, magnitude, nullptr);
    ondrift::cli::writeNifti("bold.nii", ondrift::cli::makeGeometry({kX, kY, kZ, 2}, affine, 2.0f),
                             2, bold, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Each script loads and unloads the plug-in; the fuzzer keeps reading the library's coverage
    // counters, so the library must stay mapped in between.
    if (dlopen(ONDRIFT_PLUGIN_PATH, RTLD_NOW | RTLD_NODELETE) == nullptr) std::abort();
    std::filesystem::current_path(ondrift::fuzz::scratchFolder());
    writeInputs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        try {
            (void)ondrift::cli::splitScriptLine(line);
        } catch (const ondrift::cli::InputError&) {
        }
    }
    if (script.find_first_of("/\\") != std::string::npos ||
        script.find("..") != std::string::npos) {
        return 0;
    }
    std::istringstream in(script);
    ondrift::cli::Reporter reporter(ondrift::cli::Verbosity::Quiet);
    try {
        ondrift::cli::runSessionScript(in, "fuzz.txt", ondrift::fuzz::scratchFolder(),
                                       ONDRIFT_PLUGIN_PATH, reporter);
    } catch (const ondrift::cli::InputError&) {
    } catch (const ondrift::cli::ProcessingError&) {
    }
    return 0;
}
