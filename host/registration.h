// The stand-in host's registration: how it relates a functional project to an anatomical one
// (vxCalculateIAMatrix), from the projects' scanner position records alone.
//
// Frames (docs/registration.md has the full picture and a worked example):
//  - A grid's voxel (i, j, k) lies at  centre + (i − (nx−1)/2)·dx·row + (j − (ny−1)/2)·dy·col
//    + (k − (nz−1)/2)·dz·slice  in scanner millimetres, where row = RowDir (the direction in which
//    the column index i grows), col = ColDir (the row index j), slice = the unit normal
//    row × col signed towards the last slice, and centre = the midpoint of the first and the
//    last slice centre.
//  - The VMR frame: millimetres along (row, col, slice) of the VMR, from its centre.
//  - The FMR frame: the same for the FMR, but with one axis mirrored by the slice-order rule
//    the plug-in applies (z for transversal and coronal stacks whose first slice is lower, x for
//    sagittal stacks whose first slice lies at larger x), so that the plug-in's flip takes the
//    frame back onto the voxel axes.
//  - IA maps FMR-frame millimetres to the millimetres of the VMR as acquired; the second matrix
//    T maps the VMR's millimetres as it is now (after its past transformations) to those of the
//    VMR as acquired.
#ifndef ONDRIFT_HOST_REGISTRATION_H
#define ONDRIFT_HOST_REGISTRATION_H

#include <array>

#include "binding/host_abi.h"
#include "host/past_transformations.h"

namespace ondrift::standin {

using Vector3 = std::array<double, 3>;

/// Unit axes (in scanner coordinates) and origin of a centred millimetre frame.
struct Frame {
    std::array<Vector3, 3> axes{};
    Vector3 centre{};
};

/// Where a grid lies in the scanner; the input for makePosition.
struct GridPlacement {
    Vector3 centre{};                  ///< centre of the grid (midpoint of first and last slice)
    Vector3 rowDirection{1, 0, 0};     ///< direction in which the column index grows
    Vector3 columnDirection{0, 1, 0};  ///< direction in which the row index grows
    Vector3 sliceDirection{0, 0, 1};   ///< from the first slice towards the last
    int columns = 1, rows = 1, slices = 1;
    double voxelSizeX = 1.0, voxelSizeY = 1.0, voxelSizeZ = 1.0;  ///< mm; z is the spacing
};

/// The position record of a grid placed so (slice centres, directions, matrix, field of view,
/// slice thickness = the spacing, no gap).
ScannerPositionHeader makePosition(const GridPlacement& placement);
/// Scanner coordinates of the centre of voxel (i, j, k) of that grid.
Vector3 voxelCentre(const GridPlacement& placement, double i, double j, double k);

/// The slice-order mirror of an FMR frame: {−1 on x or 1, −1 on z or 1}, decided exactly as the
/// plug-in decides its flip (single-precision differences of the slice centres).
std::array<float, 2> sliceOrderMirror(const ScannerPositionHeader& position);

/// The VMR frame, or the mirrored FMR frame. False when the row and column directions do not
/// span a plane or the centres are not finite numbers.
bool vmrFrame(const ScannerPositionHeader& position, Frame& frame);
bool fmrFrame(const ScannerPositionHeader& position, Frame& frame);

/// IA: FMR-frame millimetres → VMR-frame millimetres (rigid, row-major, column vectors).
bool registrationMatrix(const ScannerPositionHeader& fmr, const ScannerPositionHeader& vmr,
                        Matrix4& ia);
/// T: the inverse of the past transformations applied in their order (each given from the
/// VMR's centred millimetres before the step to those after it). The identity when there are
/// none; false when their product cannot be inverted.
bool pastTransformationMatrix(const PastTransformationsHeader& record, Matrix4& t);

}  // namespace ondrift::standin

#endif
