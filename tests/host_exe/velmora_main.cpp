// A minimal host executable: it exports the host functions by name (the stand-in host linked in),
// loads the plug-in library, and runs the frame commands and two "Start" chains on an in-memory
// workspace. It prints a report of everything the plug-in did that a host can see (log, message
// boxes, parameters, saved values, files written), one item per line, so that the reports of two
// platforms can be compared byte for byte.
//
//     velmora <plug-in library> [--old-host]
//
// Built for Windows as Velmora.exe, the name under which the plug-in finds its host there.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/plugin_loader.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace {

using ondrift::standin::DialogAnswer;
using ondrift::standin::session;
using ondrift::standin::workspace;

// FNV-1a over bytes: enough to tell two runs apart, and the same on every platform.
std::uint64_t hashBytes(const void* data, std::size_t size,
                        std::uint64_t h = 1469598103934665603ull) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// Control characters escaped, so that every item stays on one line.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

void line(const std::string& kind, const std::string& text) {
    std::printf("%s %s\n", kind.c_str(), escaped(text).c_str());
}

std::string hex(std::uint64_t v) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(v));
    return buffer;
}

std::string floatBits(float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(bits));
    return buffer;
}

// A head-like phantom: an ellipsoid of signal with noise outside, a field made of a linear shim
// gradient across the field of view and a strong lobe near a "cavity", wrapped into [-pi, pi).
constexpr int kX = 24, kY = 24, kZ = 6;
constexpr double kPi = 3.14159265358979;

struct Scene {
    std::vector<double> phase, magnitude, series;
};

Scene makeScene(int volumes) {
    Scene s;
    std::uint32_t noise = 12345u;
    auto next = [&noise] {
        noise = noise * 1664525u + 1013904223u;
        return static_cast<double>(noise >> 8) / 16777216.0;
    };
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const double dx = (x - 11.5) / 9.0, dy = (y - 11.5) / 10.0, dz = (z - 2.5) / 4.0;
                const bool inside = dx * dx + dy * dy + dz * dz < 1.0;
                const double field =
                    6.0 * (x - 11.5) - 3.0 * (y - 11.5) +
                    180.0 * std::exp(-((x - 8) * (x - 8) + (y - 16) * (y - 16)) / 12.0);
                const double cycles = field * 10.0 / 1000.0;
                const double wrapped = 2.0 * kPi * (cycles - std::floor(cycles + 0.5));
                s.phase.push_back(inside ? wrapped : (next() - 0.5) * 2.0 * kPi);
                s.magnitude.push_back(inside ? 900.0 + 200.0 * next() : 40.0 * next());
            }
    for (int v = 0; v < volumes; ++v)
        for (std::size_t i = 0; i < s.magnitude.size(); ++i)
            s.series.push_back(s.magnitude[i] * (0.5 + 0.1 * v) + 20.0 * next());
    return s;
}

void reportCall(const std::string& command) {
    auto& s = session();
    line("command", command);
    for (const auto& entry : s.log) line("log", entry);
    for (const auto& text : s.messageBoxes) line("message", text);
    for (const auto& dialog : s.dialogs) line("dialog", dialog.text + " | " + dialog.filter);
    for (const auto& [name, value] : s.parameters.strings()) line("string", name + " = " + value);
    for (const auto& [name, value] : s.parameters.ints())
        line("int", name + " = " + std::to_string(value));
    for (const auto& [name, value] : s.parameters.floats())
        line("float", name + " = " + floatBits(value));
    for (const auto& save : workspace().saves()) {
        const std::uint64_t h =
            save.dataType == kFmrInt16
                ? hashBytes(save.intValues.data(), save.intValues.size() * sizeof(short))
                : hashBytes(save.floatValues.data(), save.floatValues.size() * sizeof(float));
        line("save", save.fmrFileName + " " + save.stcName + " result " +
                         std::to_string(save.result) + " volumes " + std::to_string(save.volumes) +
                         " type " + std::to_string(save.dataType) + " values " + hex(h));
    }
    s.log.clear();
    s.messageBoxes.clear();
    s.dialogs.clear();
}

// Every file in the working folder, sorted by name, with its size and hash.
void reportFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        if (entry.is_regular_file()) files.push_back(entry.path().filename());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        line("file", file.string() + " " + std::to_string(bytes.size()) + " " +
                         hex(hashBytes(bytes.data(), bytes.size())));
    }
}

void run(ondrift::standin::PluginLoader& loader, const std::string& command) {
    session().parameters.setString("Command", command);
    const bool answered = loader.execute();
    reportCall(command + (answered ? "" : " (answered false)"));
}

void startChain(ondrift::standin::PluginLoader& loader, bool relaxation) {
    ondrift::standin::clearAll();
    auto& ws = workspace();
    ws.quiet = true;
    const Scene scene = makeScene(relaxation ? 3 : 2);
    const std::string stem = relaxation ? "relax" : "multigrid";
    ws.addFmr(stem + "_phase.fmr", kX, kY, kZ, 1, kFmrFloat32, scene.phase);
    ws.addFmr(stem + "_magnitude.fmr", kX, kY, kZ, 1, kFmrFloat32, scene.magnitude);
    ws.addFmr(stem + "_bold.fmr", kX, kY, kZ, relaxation ? 3 : 2,
              relaxation ? kFmrFloat32 : kFmrInt16, scene.series);
    auto& p = session().parameters;
    p.setInt("UnwrappingMethod", relaxation ? 0 : 1);
    p.setInt("NrOfIterationsRelax", 60);
    p.setFloat("Regularisation", 0.25f);
    p.setInt("NrOfVCycles", 2);
    p.setInt("NrOfIterations", 3);
    p.setInt("MaskLaplacian", 1);
    p.setFloat("BandWidthPE", 31.25f);
    p.setFloat("EchoTimeDiff", 10.0f);
    p.setInt("PhaseEncodingDir", relaxation ? 3 : 4);
    p.setInt("ApplyTwoPi", 0);
    p.setString("Procedure", "Unwrap");
    p.setInt("PerformAllSteps", 1);
    for (int pick : {0, 1, 2}) session().answers.push_back(DialogAnswer::withNumber(pick));
    run(loader, "Start");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <plug-in library> [--old-host]\n", argv[0]);
        return 2;
    }
    const bool oldHost = argc > 2 && std::string(argv[2]) == "--old-host";
    ondrift::standin::clearAll();
    session().version = oldHost ? ondrift::standin::Version{2, 5, 9} : ondrift::standin::Version{};
    ondrift::standin::PluginLoader loader;
    if (!loader.open(argv[1])) {
        std::fprintf(stderr, "%s\n", loader.error().c_str());
        return 2;
    }
    line("name", loader.pluginName());
    line("gui", loader.guiScript());
    const bool initialised = loader.create();
    line("init", initialised ? "1" : "0");
    for (const auto& text : session().messageBoxes) line("message", text);
    if (!initialised) return 0;
    session().messageBoxes.clear();

    auto& p = session().parameters;
    p.setInt("FileTypeId", 1);
    p.setInt("FileStage", 1);
    session().answers.push_back(DialogAnswer::withPath("phase.fmr"));
    session().answers.push_back(DialogAnswer::cancel());
    run(loader, "GetFiles");
    session().answers.push_back(DialogAnswer::withPath("anatomy.vmr"));
    p.setInt("FileTypeId", 6);
    run(loader, "GetFile");
    run(loader, "NoSuchCommand");
    run(loader, std::string(120, 'C'));
    run(loader, "Evaluate");
    p.setString("RealFile", "missing_real.fmr");
    p.setString("ImagFile", "missing_imaginary.fmr");
    run(loader, "CreatePolarFile");

    startChain(loader, true);
    startChain(loader, false);
    reportFiles();
    return 0;
}
