// End-to-end timing of `ondrift correct` on the large case, against the floor of the same run.
//
// The large case: a field map of 128×128×64 voxels and a functional series of 96×96×60 voxels
// and 300 volumes (float32, 663 MB), on grids that differ, made with the project's phantom and
// kept in the bench folder for later runs. The floor is what any tool must do with these files:
// read the inputs and write the corrected series compressed, with the same reader, writer,
// compression level and threads. The command runs as a child process and reports its own peak
// resident memory in ondrift.json (the child's rusage would include this process's memory).
//
// `--generator susceptibility` makes the case from the susceptibility model's head instead
// (cli/phantom_susceptibility.h), kept in a folder of its own.
//
// `--python SCRIPT` (bench/python_pipeline.py) also runs the plain Python pipeline end to end on
// the same files in the same run (Debian's python3-nibabel, -scipy and -skimage), and gives how
// many times faster ondrift is.
//
//     ondrift_e2e_bench [--folder DIR] [--volumes N] [--output-type nii|nii.gz] [--runs N]
//                       [--generator analytic|susceptibility] [--python SCRIPT]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"

namespace fs = std::filesystem;
using namespace ondrift::cli;

namespace {

double now() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

ondrift::cli::PhantomOptions largeCase(int volumes, Generator generator) {
    PhantomOptions o;
    o.generator = generator;
    o.dims = {128, 128, 64};
    o.voxelSize = 1.8f;
    o.volumes = volumes;
    o.peDirection = 4;  // j-
    o.effectiveEchoSpacing = 0.00025;
    o.epiDims = {96, 96, 60};
    o.epiVoxelSize = 2.4f;
    o.epiTiltDegrees = 8.0;
    o.epiCentreMm = {1.5, -2.0, 3.0};
    return o;
}

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ownCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

struct Child {
    double seconds = 0;
    double cpu = 0;
    double peakGb = 0;
    int status = -1;
};

Child runChild(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const double start = now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(args[0], args.data());
        std::perror("exec");
        _exit(127);
    }
    Child c;
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return c;
    c.seconds = now() - start;
    c.cpu = cpuSeconds(usage);
    c.peakGb = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e9;  // ru_maxrss is in KiB
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return c;
}

/// An interpreter that has the Python pipeline's packages: the Debian ones serve the system's
/// interpreter, which another one on the PATH may shadow. Empty when there is none.
std::string pythonWithPackages() {
    for (const char* candidate : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
        const std::string probe =
            std::string(candidate) + " -c 'import nibabel, scipy, skimage' >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0) return candidate;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    fs::path folder = "bench-large-case";
    int volumes = 300;
    int runs = 1;
    std::string outputType = "nii.gz";
    Generator generator = Generator::Analytic;
    std::string pythonScript;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--python")
            pythonScript = argv[i + 1];
        else if (flag == "--folder")
            folder = argv[i + 1];
        else if (flag == "--volumes")
            volumes = std::atoi(argv[i + 1]);
        else if (flag == "--runs")
            runs = std::atoi(argv[i + 1]);
        else if (flag == "--output-type")
            outputType = argv[i + 1];
        else if (flag == "--generator" && generatorFromName(argv[i + 1], generator))
            continue;
        else {
            std::fprintf(stderr, "unknown flag %s\n", flag.c_str());
            return 2;
        }
    }
    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path ondrift = self.parent_path() / "ondrift";
    const std::string made =
        generator == Generator::Analytic ? "" : std::string(generatorName(generator)) + "-";
    const fs::path input = folder / ("input-" + made + std::to_string(volumes));
    const fs::path phase = input / "sub-phantom_phasediff.nii.gz";
    const fs::path magnitude = input / "sub-phantom_magnitude1.nii.gz";
    const fs::path bold = input / "sub-phantom_task-rest_bold.nii.gz";
    if (!fs::exists(bold)) {
        std::fprintf(stderr, "making the large case in %s (once)...\n", input.c_str());
        const Phantom p = makePhantom(largeCase(volumes, generator));
        writePhantom(p, input.string(), nullptr);
    }

    double floorBest = 1e30, endBest = 1e30;
    for (int run = 0; run < runs; ++run) {
        // The floor: read the three inputs, write a series of the functional size compressed.
        const double floorStart = now();
        const double floorCpuStart = ownCpuSeconds();
        const NiftiImage ph = readNifti(phase.string(), {}, nullptr);
        const NiftiImage mag = readNifti(magnitude.string(), {}, nullptr);
        const NiftiImage series = readNifti(bold.string(), {}, nullptr);
        const double readSeconds = now() - floorStart;
        const fs::path floorOut = folder / ("floor." + outputType);
        writeNifti(floorOut.string(), series.geometry, series.geometry.nt(), series.data, nullptr);
        const double floorSeconds = now() - floorStart;
        const double floorCpu = ownCpuSeconds() - floorCpuStart;
        fs::remove(floorOut);

        const fs::path out = folder / "output";
        fs::remove_all(out);
        std::vector<std::string> command = {
            ondrift.string(),   "--quiet", "correct",     "--phase", phase.string(), "--magnitude",
            magnitude.string(), "--epi",   bold.string(), "--out",   out.string()};
        if (outputType != "nii.gz") command.insert(command.end(), {"--output-type", outputType});
        const Child c = runChild(command);
        if (c.status != 0) {
            std::fprintf(stderr, "ondrift correct failed (exit %d)\n", c.status);
            return 1;
        }
        nlohmann::json summary;
        std::ifstream(out / "ondrift.json") >> summary;
        const auto& t = summary["timings"];
        std::printf("run %d of %d: %d volumes, output %s\n", run + 1, runs, volumes,
                    outputType.c_str());
        std::printf(
            "  floor (read inputs + write the compressed series): %6.2f s "
            "(read %.2f s, write %.2f s)\n",
            floorSeconds, readSeconds, floorSeconds - readSeconds);
        std::printf("  ondrift correct, end to end:                        %6.2f s\n", c.seconds);
        for (const auto& [part, seconds] : t.items()) {
            std::printf("    %-20s %6.2f s\n", part.c_str(), seconds.get<double>());
        }
        // What the quality report and the polarity check add to the rest of the run.
        const double report = t.value("reportSeconds", 0.0);
        const double check = t.value("polarityCheckSeconds", 0.0);
        const double rest = t.value("totalSeconds", 0.0) - report - check;
        if (rest > 0) {
            std::printf("  report %.1f %%, polarity check %.1f %% of the rest of the run\n",
                        100 * report / rest, 100 * check / rest);
        }
        std::printf("  ratio to the floor:                                 %6.2f\n",
                    c.seconds / floorSeconds);
        // On a shared machine the processor time is the steadier measure.
        std::printf("  processor time: floor %.2f s, ondrift %.2f s, ratio %.2f\n", floorCpu, c.cpu,
                    c.cpu / floorCpu);
        // The series as float32, the measure the peak is judged against.
        const double seriesGb = 96.0 * 96.0 * 60.0 * 4.0 * volumes / 1e9;
        // The command's own peak: the child's rusage also counts what this process held when it
        // forked (the series read for the floor).
        const double peakGb = summary.value("peakMemoryBytes", 0.0) / 1e9;
        std::printf(
            "  peak resident memory of the command:                %6.2f GB "
            "(%.2f times the %.2f GB series; %.2f GB with what the fork inherited)\n",
            peakGb, peakGb / seriesGb, seriesGb, c.peakGb);
        if (!pythonScript.empty()) {
            const std::string python = pythonWithPackages();
            if (python.empty()) {
                std::printf("  Python pipeline: skipped (nibabel, scipy or skimage missing)\n");
            } else {
                const fs::path corrected = folder / "python-corrected.nii.gz";
                const Child py = runChild(
                    {python, pythonScript, "--correct", input.string(), corrected.string()});
                fs::remove(corrected);
                if (py.status != 0) {
                    std::printf("  Python pipeline failed (exit %d)\n", py.status);
                } else {
                    std::printf(
                        "  Python pipeline, end to end: %6.2f s (processor %.2f s, peak %.2f GB); "
                        "ondrift is %.2f times faster\n",
                        py.seconds, py.cpu, py.peakGb, py.seconds / c.seconds);
                }
            }
        }
        floorBest = std::min(floorBest, floorSeconds);
        endBest = std::min(endBest, c.seconds);
    }
    if (runs > 1) {
        std::printf("best of %d: floor %.2f s, end to end %.2f s, ratio %.2f\n", runs, floorBest,
                    endBest, endBest / floorBest);
    }
    return 0;
}
