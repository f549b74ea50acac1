// Pictures of one plane through a volume: grey values, a colour overlay, outlines.
//
// Planes are named by the voxel axes they span, since the report cannot know how the head lies
// in the file: "i–j" is the plane at a fixed k, drawn with i to the right and j upwards.
#ifndef ONDRIFT_CLI_REPORT_SLICE_PICTURES_H
#define ONDRIFT_CLI_REPORT_SLICE_PICTURES_H

#include <array>
#include <string>
#include <vector>

#include "cli/report/png_image.h"
#include "cli/report/volume.h"

namespace ondrift::cli {

enum class Plane { IJ, IK, JK };

/// The plane's name and its fixed axis ("i–j plane, k = 12").
std::string planeName(Plane plane, int index);

/// The index of the fixed axis through the middle of the volume (or of the mask's extent,
/// when it holds any voxel).
int middleIndex(const Volume& volume, Plane plane, const std::vector<unsigned char>& mask);

struct Slice {
    int width = 0;
    int height = 0;
    float pixelWidth = 1;       ///< mm
    float pixelHeight = 1;      ///< mm
    std::vector<float> values;  ///< rows from the top (the highest index of the vertical axis)

    float at(int x, int y) const {
        return values[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};

Slice extractSlice(const Volume& volume, Plane plane, int index);
Slice extractMaskSlice(const std::vector<unsigned char>& mask, const Volume& grid, Plane plane,
                       int index);

/// Grey values from `low` (black) to `high` (white).
RgbImage greyPicture(const Slice& slice, float low, float high);

/// Blue (−limit) – white (0) – red (+limit).
Rgb divergingColour(float value, float limit);

/// The field-map overlay: `values` in colour with `alpha` where `mask` is set.
void overlayDiverging(RgbImage& picture, const Slice& values, const Slice& mask, float limit,
                      float alpha);

/// Marks the pixels where `mask` is set with `colour`.
void overlayMask(RgbImage& picture, const Slice& mask, Rgb colour);

/// Outlines of `slice` at the given levels: pixels at or above a level with a neighbour below
/// it, drawn in `colour`.
void drawOutlines(RgbImage& picture, const Slice& slice, const std::vector<float>& levels,
                  Rgb colour);

/// An <img> element for the picture, sized so that voxels keep their proportions in mm.
std::string imgTag(const RgbImage& picture, const Slice& slice, const std::string& alt,
                   const std::string& cssClass = "");

}  // namespace ondrift::cli

#endif
