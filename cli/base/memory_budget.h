// How much memory a correction may take, how many volumes a block then holds, and how much
// the process took at its peak.
#ifndef ONDRIFT_CLI_BASE_MEMORY_BUDGET_H
#define ONDRIFT_CLI_BASE_MEMORY_BUDGET_H

#include <cstddef>
#include <cstdint>

namespace ondrift::cli {

/// The machine's physical memory in bytes (0 when it cannot be told).
std::uint64_t physicalMemoryBytes();

/// A quarter of the machine's memory (1 GiB when it cannot be told): room for the runs of a
/// data set beside other work, divided among them.
std::uint64_t defaultMemoryLimitBytes();

/// Volumes per block of a series of `volumes` volumes of `voxelsPerVolume` voxels under
/// `limitBytes`, at least 1. A block takes about 24 bytes a voxel (read ahead, undistorted and
/// being written in host documents, and in the plug-in's doubles); it gets a quarter of the limit,
/// the rest being left to the field map's work, and never more than blocks that read, undistort and
/// write fast already need.
int blockVolumes(std::uint64_t limitBytes, std::size_t voxelsPerVolume, int volumes);

/// The peak resident memory of this program so far, in bytes.
std::uint64_t peakResidentBytes();

}  // namespace ondrift::cli

#endif
