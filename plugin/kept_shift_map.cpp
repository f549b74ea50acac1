#include "plugin/kept_shift_map.h"

#include <optional>
#include <vector>

namespace ondrift {
namespace {

// One plug-in instance per host; the host calls it from one thread at a time.
std::optional<Image>& slot() {
    static std::optional<Image> kept;
    return kept;
}

}  // namespace

void keepShiftMap(const Image& shiftMap) {
    Image copy;
    shiftMap.copyHeaderTo(copy);
    copy.setNrOfVolumes(1);
    const double* values = shiftMap.getData();
    copy.setData(std::vector<double>(values, values + shiftMap.voxelsPerVolume()));
    slot() = std::move(copy);
}

const Image* keptShiftMap() { return slot() ? &*slot() : nullptr; }

void releaseKeptShiftMap() { slot().reset(); }

}  // namespace ondrift
