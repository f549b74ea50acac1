// NIfTI images into the stand-in host's workspace: functional data as float FMR documents,
// anatomical data as 8-bit VMR documents, each with the position record of its affine.
#ifndef ONDRIFT_CLI_DOCUMENT_IMPORT_H
#define ONDRIFT_CLI_DOCUMENT_IMPORT_H

#include <string>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

/// Adds `image` (its first `volumes` volumes; 0 = all) as a float FMR document named
/// `documentName`, values multiplied by `scale`. Returns the workspace index.
int importFmr(const NiftiImage& image, const std::string& documentName, int volumes = 0,
              float scale = 1.0f);

/// As importFmr with every volume and no scaling, but the document takes over the image's
/// values instead of copying them; `image.data` is empty afterwards.
int adoptFmr(NiftiImage& image, const std::string& documentName);

/// Adds a float FMR document of `volumes` volumes on the grid of `geometry`, its values still
/// to be filled (a block of a series read a block at a time). Returns the workspace index.
int addSeriesBlock(const NiftiGeometry& geometry, const std::string& documentName, int volumes);

/// Adds the first volume of `image` as a VMR document: values from the 0.1th to the 99.9th
/// percentile mapped linearly onto 0 … 255 (clamped). Returns the workspace index.
int importVmr(const NiftiImage& image, const std::string& documentName);

/// Adds a VMR document that is only a sampling lattice for the mapping: the grid of `epi` at
/// half its voxel size (each functional voxel holds eight lattice points), voxels 0. Returns
/// the workspace index.
int addSamplingLattice(const NiftiGeometry& epi, const std::string& documentName);

/// The value below which `fraction` of the values lie (nearest rank), over the first volume.
float percentile(const NiftiImage& image, double fraction);

}  // namespace ondrift::cli

#endif
