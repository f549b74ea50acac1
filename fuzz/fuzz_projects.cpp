// The stand-in host's project loaders. The input is an FMR project header, a NUL byte and the
// bytes of its STC file (always written as data.stc); the same input is then read whole as a VMR
// project. Whatever opens must hold exactly the data its header describes.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "host/project_files.h"
#include "host/workspace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ondrift::fuzz::Bytes in(data, size);
    const auto header = ondrift::fuzz::writeScratch("project.fmr", in.part());
    ondrift::fuzz::writeScratch("data.stc", in.rest());
    std::string error;
    if (auto fmr = ondrift::standin::readFmrProject(header, error)) {
        const auto values = fmr->values();
        if (values.size() != fmr->voxelsPerVolume() * static_cast<std::size_t>(fmr->volumes()) ||
            !fmr->headerMatchesData(fmr->header)) {
            __builtin_trap();
        }
    } else if (error.empty()) {
        __builtin_trap();  // a refusal always says why
    }

    const std::string_view whole(reinterpret_cast<const char*>(data), size);
    const auto vmrFile = ondrift::fuzz::writeScratch("anatomy.vmr", whole);
    error.clear();
    if (auto vmr = ondrift::standin::readVmrProject(vmrFile, error)) {
        const auto expected = static_cast<std::size_t>(vmr->dimX()) *
                              static_cast<std::size_t>(vmr->dimY()) *
                              static_cast<std::size_t>(vmr->dimZ());
        if (vmr->voxels().size() != expected) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    return 0;
}
