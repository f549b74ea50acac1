#include "cli/report/slice_pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace ondrift::cli {

namespace {

// The voxel axes drawn across (u) and up (v) and the fixed one.
struct Axes {
    int u, v, fixed;
};

Axes axesOf(Plane plane) {
    switch (plane) {
        case Plane::IJ: return {0, 1, 2};
        case Plane::IK: return {0, 2, 1};
        case Plane::JK: return {1, 2, 0};
    }
    return {0, 1, 2};
}

const char* kAxisNames[] = {"i", "j", "k"};

template <typename Get>
Slice cut(const Volume& grid, Plane plane, int index, Get get) {
    const Axes a = axesOf(plane);
    Slice s;
    s.width = grid.dims[a.u];
    s.height = grid.dims[a.v];
    s.pixelWidth = grid.voxelSize[a.u] > 0 ? grid.voxelSize[a.u] : 1.0f;
    s.pixelHeight = grid.voxelSize[a.v] > 0 ? grid.voxelSize[a.v] : 1.0f;
    if (s.width <= 0 || s.height <= 0) return s;
    const int fixed = std::clamp(index, 0, std::max(grid.dims[a.fixed] - 1, 0));
    s.values.resize(static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height));
    for (int row = 0; row < s.height; ++row) {
        for (int col = 0; col < s.width; ++col) {
            int c[3];
            c[a.u] = col;
            c[a.v] = s.height - 1 - row;
            c[a.fixed] = fixed;
            s.values[static_cast<std::size_t>(row) * s.width + col] =
                get(grid.index(c[0], c[1], c[2]));
        }
    }
    return s;
}

}  // namespace

std::string planeName(Plane plane, int index) {
    const Axes a = axesOf(plane);
    return std::string(kAxisNames[a.u]) + "\u2013" + kAxisNames[a.v] + " plane, " +
           kAxisNames[a.fixed] + " = " + std::to_string(index);
}

int middleIndex(const Volume& volume, Plane plane, const std::vector<unsigned char>& mask) {
    const int axis = axesOf(plane).fixed;
    int lo = volume.dims[axis], hi = -1;
    if (mask.size() == volume.voxels() && volume.dims[0] > 0) {
        // Row by row: the extent along i from a row's first and last set voxel, along j and k
        // from whether a row holds any.
        const auto width = static_cast<std::size_t>(volume.dims[0]);
        for (int z = 0; z < volume.dims[2]; ++z) {
            for (int y = 0; y < volume.dims[1]; ++y) {
                const auto row = mask.begin() + static_cast<std::ptrdiff_t>(volume.index(0, y, z));
                const auto end = row + static_cast<std::ptrdiff_t>(width);
                const auto first = std::find_if(row, end, [](unsigned char m) { return m != 0; });
                if (first == end) continue;
                if (axis == 0) {
                    const auto last = std::find_if(std::make_reverse_iterator(end),
                                                   std::make_reverse_iterator(first),
                                                   [](unsigned char m) { return m != 0; });
                    lo = std::min(lo, static_cast<int>(first - row));
                    hi = std::max(hi, static_cast<int>(last.base() - row) - 1);
                } else {
                    const int at = axis == 1 ? y : z;
                    lo = std::min(lo, at);
                    hi = std::max(hi, at);
                }
            }
        }
    }
    if (hi < lo) return std::max(volume.dims[axis] - 1, 0) / 2;
    return (lo + hi) / 2;
}

Slice extractSlice(const Volume& volume, Plane plane, int index) {
    if (volume.empty()) {
        Slice s = cut(volume, plane, index, [](std::size_t) { return 0.0f; });
        return s;
    }
    return cut(volume, plane, index, [&volume](std::size_t i) { return volume.values[i]; });
}

Slice extractMaskSlice(const std::vector<unsigned char>& mask, const Volume& grid, Plane plane,
                       int index) {
    const bool usable = mask.size() == grid.voxels();
    return cut(grid, plane, index,
               [&](std::size_t i) { return usable && mask[i] != 0 ? 1.0f : 0.0f; });
}

RgbImage greyPicture(const Slice& slice, float low, float high) {
    RgbImage p(slice.width, slice.height);
    const float range = high > low ? high - low : 1.0f;
    for (int y = 0; y < slice.height; ++y) {
        for (int x = 0; x < slice.width; ++x) {
            const float v = slice.at(x, y);
            const float t = std::isfinite(v) ? std::clamp((v - low) / range, 0.0f, 1.0f) : 0.0f;
            const auto g = static_cast<unsigned char>(t * 255.0f + 0.5f);
            p.set(x, y, {g, g, g});
        }
    }
    return p;
}

Rgb divergingColour(float value, float limit) {
    float t = limit > 0 && std::isfinite(value) ? std::clamp(value / limit, -1.0f, 1.0f) : 0.0f;
    // White at 0 towards a saturated red or blue at the ends.
    const auto level = [](float f) { return static_cast<unsigned char>(255.0f * f + 0.5f); };
    if (t >= 0) return {level(1.0f - 0.2f * t), level(1.0f - 0.85f * t), level(1.0f - 0.85f * t)};
    t = -t;
    return {level(1.0f - 0.85f * t), level(1.0f - 0.6f * t), level(1.0f - 0.1f * t)};
}

void overlayDiverging(RgbImage& picture, const Slice& values, const Slice& mask, float limit,
                      float alpha) {
    for (int y = 0; y < picture.height && y < values.height; ++y) {
        for (int x = 0; x < picture.width && x < values.width; ++x) {
            if (mask.values.empty() || mask.at(x, y) == 0) continue;
            picture.blend(x, y, divergingColour(values.at(x, y), limit), alpha);
        }
    }
}

void overlayMask(RgbImage& picture, const Slice& mask, Rgb colour) {
    for (int y = 0; y < picture.height && y < mask.height; ++y) {
        for (int x = 0; x < picture.width && x < mask.width; ++x) {
            if (mask.at(x, y) != 0) picture.set(x, y, colour);
        }
    }
}

void drawOutlines(RgbImage& picture, const Slice& slice, const std::vector<float>& levels,
                  Rgb colour) {
    if (slice.values.empty()) return;
    for (int y = 0; y < slice.height && y < picture.height; ++y) {
        for (int x = 0; x < slice.width && x < picture.width; ++x) {
            const float v = slice.at(x, y);
            if (!std::isfinite(v)) continue;
            for (float level : levels) {
                if (v < level) continue;
                bool edge = false;
                const int dx[] = {-1, 1, 0, 0}, dy[] = {0, 0, -1, 1};
                for (int n = 0; n < 4 && !edge; ++n) {
                    const int nx = x + dx[n], ny = y + dy[n];
                    if (nx < 0 || ny < 0 || nx >= slice.width || ny >= slice.height) continue;
                    edge = slice.at(nx, ny) < level;
                }
                if (edge) picture.set(x, y, colour);
            }
        }
    }
}

std::string imgTag(const RgbImage& picture, const Slice& slice, const std::string& alt,
                   const std::string& cssClass) {
    // About 240 px for the longer side, whatever the voxel count.
    const double w = picture.width * double(slice.pixelWidth);
    const double h = picture.height * double(slice.pixelHeight);
    const double scale = 240.0 / std::max({w, h, 1e-6});
    char size[96];
    std::snprintf(size, sizeof size, "width=\"%d\" height=\"%d\"",
                  std::max(1, static_cast<int>(std::lround(w * scale))),
                  std::max(1, static_cast<int>(std::lround(h * scale))));
    std::string tag = "<img " + std::string(size) + " alt=\"" + alt + "\"";
    if (!cssClass.empty()) tag += " class=\"" + cssClass + "\"";
    return tag + " src=\"" + pngDataUri(picture) + "\">";
}

}  // namespace ondrift::cli
