// The host's slice-position record of a document, derived from a NIfTI affine.
#ifndef ONDRIFT_CLI_SCANNER_POSITION_H
#define ONDRIFT_CLI_SCANNER_POSITION_H

#include "binding/host_abi.h"
#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

/// The record of an image on the grid of `geometry`:
/// - Slice1Center / SliceNCenter: the world position of the centre of the first (k = 0) and
///   last (k = nz − 1) slice, i.e. of voxel ((nx − 1)/2, (ny − 1)/2, k);
/// - RowDir: unit vector along which the column index i grows; ColDir: the same for the row
///   index j;
/// - NCols = nx, NRows = ny, FoVCols = nx · |column step|, FoVRows = ny · |row step|,
///   SliceThickness = |slice step|, GapThickness = 0;
/// - coordinates in the scanner's patient frame (x to the left, y to the back, z up: the
///   NIfTI RAS+ world with x and y negated), CoordinateSystem 1, PosInfosVerified 1.
ScannerPositionHeader positionFromGeometry(const NiftiGeometry& geometry);

/// The inverse direction, for documents read back from project files: the affine (RAS+) that
/// places a grid of nx × ny × nz voxels as the record says. Used to write NIfTI copies of
/// projects whose grid matches no input.
Affine affineFromPosition(const ScannerPositionHeader& position, int nz);

}  // namespace ondrift::cli

#endif
