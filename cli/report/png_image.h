// RGB pictures for the report, encoded as PNG (libpng) and embedded as data: URIs, so that the
// page needs no other file and no server.
#ifndef ONDRIFT_CLI_REPORT_PNG_IMAGE_H
#define ONDRIFT_CLI_REPORT_PNG_IMAGE_H

#include <string>
#include <string_view>
#include <vector>

namespace ondrift::cli {

struct Rgb {
    unsigned char r = 0, g = 0, b = 0;
};

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;  ///< r, g, b per pixel, rows from the top

    RgbImage() = default;
    RgbImage(int w, int h);
    void set(int x, int y, Rgb c);
    Rgb get(int x, int y) const;
    /// Mixes `c` into the pixel with weight `alpha` (0…1).
    void blend(int x, int y, Rgb c, float alpha);
};

/// The image as PNG bytes. Throws ProcessingError when the encoder fails or the image is empty.
std::string encodePng(const RgbImage& image);

std::string base64(std::string_view bytes);

/// "data:image/png;base64,…"
std::string pngDataUri(const RgbImage& image);

/// Reads a PNG file into RGB (alpha dropped); an empty image when it cannot be read. Used to
/// inspect screenshots.
RgbImage readPng(const std::string& path);

}  // namespace ondrift::cli

#endif
