// `execute` through the binary interface: the built plug-in, loaded as a host loads it, runs a
// command chosen by the input with host parameters and dialog answers taken from the input, over
// a small workspace (phase, magnitude, a functional series, an anatomical image and a document
// of another type). The plug-in must answer every call and close it with an error number.
//
// Iteration counts are kept small: a user who asks for a billion iterations gets them, which is
// slow but not a fault, and would only stall the search.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/plugin_loader.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace {

using ondrift::standin::DialogAnswer;
using ondrift::standin::session;
using ondrift::standin::workspace;

ondrift::standin::PluginLoader* loader = nullptr;

constexpr const char* kCommands[] = {"Start",    "GetFiles",        "GetFile",
                                     "Evaluate", "CreatePolarFile", "Unknown"};
constexpr const char* kProcedures[] = {"Unwrap", "ComputeB0", "ComputePxshift", "Undistort", ""};
constexpr const char* kFileNames[] = {"phase.fmr", "magnitude.fmr", "missing.fmr",
                                      "",          "bold.fmr",      "anatomy.vmr"};

float floatFrom(ondrift::fuzz::Bytes& in) {
    const std::uint32_t kind = in.number(8);
    if (kind < 4) return static_cast<float>(in.number(200000)) / 100.0f - 100.0f;
    const std::uint32_t bits = in.number(0);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;  // anything: NaN, infinities, denormals, huge values
}

void makeWorkspace(ondrift::fuzz::Bytes& in) {
    auto& ws = workspace();
    ws.quiet = true;
    ws.outputDirectory = ondrift::fuzz::scratchFolder();
    const int x = 2 + static_cast<int>(in.number(9));
    const int y = 2 + static_cast<int>(in.number(9));
    const int z = 1 + static_cast<int>(in.number(4));
    const int volumes = 1 + static_cast<int>(in.number(3));
    const std::size_t n = static_cast<std::size_t>(x) * y * z;
    std::uint32_t seed = in.number(0);
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(seed >> 8) / 16777216.0;
    };
    std::vector<double> phase(n), magnitude(n), series(n * volumes);
    for (std::size_t i = 0; i < n; ++i) {
        phase[i] = (next() - 0.5) * 2.0 * 3.14159265;
        magnitude[i] = next() < 0.3 ? 10.0 * next() : 800.0 + 400.0 * next();
    }
    for (double& v : series) v = 1000.0 * next();
    // Phase and magnitude may also be on another grid or of the integer type.
    const int choice = static_cast<int>(in.number(16));
    ws.addFmr("phase.fmr", x, y, z, (choice & 1) ? 2 : 1, (choice & 2) ? kFmrInt16 : kFmrFloat32,
              (choice & 1) ? std::vector<double>() : phase);
    ws.addFmr("magnitude.fmr", (choice & 4) ? x + 1 : x, y, z, 1, kFmrFloat32,
              (choice & 4) ? std::vector<double>() : magnitude);
    ws.addFmr("bold.fmr", x, y, z, volumes, (choice & 8) ? kFmrInt16 : kFmrFloat32, series);
    ondrift::standin::VmrSpec vmr;
    vmr.dimX = vmr.dimY = vmr.dimZ = 2 + static_cast<int>(in.number(10));
    vmr.position.PosInfosVerified = 1;
    vmr.position.NRows = vmr.position.NCols = vmr.dimX;
    vmr.position.RowDirX = vmr.position.ColDirY = 1.0f;
    vmr.position.FoVRows = vmr.position.FoVCols = floatFrom(in);
    vmr.position.SliceThickness = floatFrom(in);
    ws.addVmr(vmr);
    ws.addOther(kDocSRF, "surface.srf");
}

void setParameters(ondrift::fuzz::Bytes& in) {
    auto& p = session().parameters;
    p.setString("Procedure", kProcedures[in.number(5)]);
    p.setInt("UnwrappingMethod", static_cast<int>(in.number(3)) - 1);
    p.setInt("NrOfIterationsRelax", static_cast<int>(in.number(30)) - 2);
    p.setInt("NrOfVCycles", static_cast<int>(in.number(5)) - 1);
    p.setInt("NrOfIterations", static_cast<int>(in.number(6)) - 1);
    for (const char* flag : {"PhaseToRadians", "MaskLaplacian", "ApplyTwoPi",
                             "mapFieldmapToFunctional", "PerformAllSteps"}) {
        p.setInt(flag, static_cast<int>(in.number(4)) - 1);
    }
    p.setInt("PhaseEncodingDir", static_cast<int>(in.number(9)) - 1);
    p.setInt("FileTypeId", static_cast<int>(in.number(10)) - 1);
    p.setInt("FileStage", static_cast<int>(in.number(9)) - 1);
    p.setFloat("Regularisation", floatFrom(in));
    p.setFloat("BandWidthPE", floatFrom(in));
    p.setFloat("EchoTimeDiff", floatFrom(in));
    p.setString("RealFile", kFileNames[in.number(6)]);
    p.setString("ImagFile", kFileNames[in.number(6)]);
    const int answers = static_cast<int>(in.number(8));
    for (int i = 0; i < answers; ++i) {
        const std::uint32_t kind = in.number(8);
        if (kind == 0) {
            session().answers.push_back(DialogAnswer::cancel());
        } else if (kind == 1) {
            session().answers.push_back(DialogAnswer::withPath(kFileNames[in.number(6)]));
        } else {
            session().answers.push_back(
                DialogAnswer::withNumber(static_cast<int>(in.number(9)) - 2));
        }
    }
    const std::uint32_t command = in.number(7);
    p.setString("Command", command < 6 ? kCommands[command] : std::string(in.rest()).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::filesystem::current_path(ondrift::fuzz::scratchFolder());
    loader = new ondrift::standin::PluginLoader;
    if (!loader->open(ONDRIFT_PLUGIN_PATH) || !loader->create()) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", loader->error().c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ondrift::standin::clearAll();
    session().version = {2, 6, 0};
    ondrift::fuzz::Bytes in(data, size);
    makeWorkspace(in);
    setParameters(in);
    if (!loader->execute()) __builtin_trap();  // the plug-in answers every call
    if (!session().parameters.hasInt("ErrorNr")) __builtin_trap();
    const int errorNr = session().parameters.getInt("ErrorNr");
    if (errorNr != 0 && errorNr != -1) __builtin_trap();
    if (session().busyShown != session().busyStopped) __builtin_trap();
    ondrift::standin::clearAll();
    return 0;
}
