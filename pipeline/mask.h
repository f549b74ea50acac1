// Masks made from a magnitude image, and masking an image with them.
#ifndef ONDRIFT_PIPELINE_MASK_H
#define ONDRIFT_PIPELINE_MASK_H

#include <string>

#include "image/datahandler.h"

namespace ondrift {

/// A new one-volume container with the source's header: maskValue where the source's first
/// volume exceeds the threshold (strictly), else 0. Logs its statistics as "mask". A source
/// without a complete first volume gives a mask of zeros with status Failed.
Image createMask(const Image& source, double threshold, double maskValue);

/// Sets to 0 the voxels of `image` whose mask value (createMask of the magnitude) is below 1.0;
/// writes the mask ("mask") and the image ("_masked") as AMR files and saves the image as
/// "<name>_masked.fmr" (bare file name). The pipeline passes threshold kMagnitudeThreshold (200)
/// and mask value 4000.0. False when the magnitude's grid differs from the image's (the image must
/// be one volume of that grid: nothing is changed or written then) or when the project could not be
/// saved; the reason is logged and, when `error` is given, stored there.
bool applyMask(Image& image, const Image& magnitude, double threshold, double maskValue,
               std::string* error = nullptr);

}  // namespace ondrift

#endif
