// The shift map a chain undistorted with, kept across calls when the host asks for it, so that
// later calls undistort further volumes of the same series with exactly the same shifts.
#ifndef ONDRIFT_PLUGIN_KEPT_SHIFT_MAP_H
#define ONDRIFT_PLUGIN_KEPT_SHIFT_MAP_H

#include "image/datahandler.h"

namespace ondrift {

/// Replaces the kept map with a copy of `shiftMap`.
void keepShiftMap(const Image& shiftMap);

/// The kept map, or null when none was kept.
const Image* keptShiftMap();

/// Releases the kept map (the plug-in's end, or a chain that keeps none).
void releaseKeptShiftMap();

}  // namespace ondrift

#endif
