// Saving a container as a new FMR project through the host's current FMR document.
#ifndef ONDRIFT_IMAGE_FMR_WRITER_H
#define ONDRIFT_IMAGE_FMR_WRITER_H

#include <string>

#include "image/datahandler.h"

namespace ondrift {

/// Puts the values into the current FMR document and asks the host to save it under
/// `fileName`. True when the host reports the project written.
bool saveAsFMR(const Image& image, const std::string& fileName);

}  // namespace ondrift

#endif
