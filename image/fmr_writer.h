// Saving a container as a new FMR project through the host's current FMR document.
#ifndef ONDRIFT_IMAGE_FMR_WRITER_H
#define ONDRIFT_IMAGE_FMR_WRITER_H

#include <cstdint>
#include <string>

#include "image/datahandler.h"

namespace ondrift {

/// Puts the values into the current FMR document and asks the host to save it under
/// `fileName`. True when the host reports the project written.
/// 16-bit documents whose values exceed 16384 get a rescaled copy (0…16384); float documents
/// take the values unchanged. Refused (logged, false, the document untouched) when the image
/// has more volumes or more voxels per volume than the document's arrays.
bool saveAsFMR(const Image& image, const std::string& fileName);

/// The 16-bit value stored for `value`: truncated toward zero, clamped to −32768…32767; NaN
/// gives 0.
std::int16_t fmrInt16Value(double value);

}  // namespace ondrift

#endif
