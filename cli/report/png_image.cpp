#include "cli/report/png_image.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/base/errors.h"

namespace ondrift::cli {

RgbImage::RgbImage(int w, int h) : width(std::max(w, 0)), height(std::max(h, 0)) {
    pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0);
}

void RgbImage::set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

Rgb RgbImage::get(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return {};
    const unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
    return {p[0], p[1], p[2]};
}

void RgbImage::blend(int x, int y, Rgb c, float alpha) {
    const Rgb o = get(x, y);
    const float a = std::clamp(alpha, 0.0f, 1.0f);
    auto mix = [a](unsigned char from, unsigned char to) {
        return static_cast<unsigned char>(from + a * (float(to) - float(from)) + 0.5f);
    };
    set(x, y, {mix(o.r, c.r), mix(o.g, c.g), mix(o.b, c.b)});
}

std::string encodePng(const RgbImage& image) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 3) {
        throw ProcessingError("cannot encode an empty picture");
    }
    // The simplified interface reports failures in the record rather than by longjmp. Its fast
    // setting (a low zlib level, no row filters) changes the size of the file, never a pixel;
    // the pictures are small and written once, so the time matters more than the bytes. One
    // pass into a buffer of the largest size the encoder can produce, not a pass to measure
    // and another to write.
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    png.flags = PNG_IMAGE_FLAG_FAST;
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(png);
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&png, out.data(), &size, 0, image.pixels.data(), 0, nullptr)) {
        const std::string message = png.message;
        png_image_free(&png);
        throw ProcessingError("the PNG encoder failed: " + message);
    }
    out.resize(size);
    return out;
}

std::string base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string pngDataUri(const RgbImage& image) {
    return "data:image/png;base64," + base64(encodePng(image));
}

RgbImage readPng(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return {};
    png.format = PNG_FORMAT_RGB;
    const std::size_t bytes = PNG_IMAGE_SIZE(png);
    if (png.width == 0 || png.height == 0 || bytes > (std::size_t{1} << 30)) {
        png_image_free(&png);
        return {};
    }
    RgbImage image(static_cast<int>(png.width), static_cast<int>(png.height));
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return {};
    }
    return image;
}

}  // namespace ondrift::cli
