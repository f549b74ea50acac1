#include "cli/base/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace ondrift::cli {

namespace {

// Three host documents a block long (read into, undistorted, written from) in float, the
// plug-in's doubles of the block undistorted, and room for the compressed members in flight.
constexpr std::uint64_t kBytesPerBlockVoxel = 24;
// Beyond this a larger block no longer makes the run faster: the per-call costs are spread
// thin already.
constexpr std::uint64_t kLargestBlockBytes = std::uint64_t{64} << 20;

}  // namespace

std::uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::uint64_t defaultMemoryLimitBytes() {
    const std::uint64_t physical = physicalMemoryBytes();
    return physical > 0 ? physical / 4 : std::uint64_t{1} << 30;
}

int blockVolumes(std::uint64_t limitBytes, std::size_t voxelsPerVolume, int volumes) {
    if (voxelsPerVolume == 0 || volumes < 1) return 1;
    const std::uint64_t budget = std::min(limitBytes / 4, kLargestBlockBytes);
    const std::uint64_t fit = budget / (kBytesPerBlockVoxel * voxelsPerVolume);
    return static_cast<int>(std::clamp<std::uint64_t>(fit, 1, static_cast<std::uint64_t>(volumes)));
}

std::uint64_t peakResidentBytes() {
    // The peak of this program's own memory: getrusage would also count what a parent held
    // when it forked the process that then became this one.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        std::uint64_t kilobytes = 0;
        if (fields >> kilobytes) return kilobytes * 1024;
    }
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

}  // namespace ondrift::cli
