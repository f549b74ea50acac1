// AMR files: a 2-byte slice count, then per slice one 256×256 8-bit grey BMP image.
#ifndef ONDRIFT_IMAGE_AMR_WRITER_H
#define ONDRIFT_IMAGE_AMR_WRITER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/datahandler.h"

namespace ondrift {

struct AMRSlice {
    std::array<std::uint8_t, 65536> pixels{};  ///< 256 rows of 256, row 0 first
};

struct AMRImage {
    std::uint16_t nrOfSlices = 0;
    std::vector<AMRSlice> slices;
    std::string name;  ///< the image's name with the caller's suffix inserted
    bool firstVolumeAsAnatomy = false;
};

AMRImage buildAMR(const Image& image, const std::string& suffix);
bool writeAMR(const AMRImage& amr);
/// writeAMR(buildAMR(image, suffix)).
bool saveAsAMR(const Image& image, const std::string& suffix);

}  // namespace ondrift

#endif
