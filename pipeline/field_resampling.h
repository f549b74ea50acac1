// Carrying a field map (or a pixel shift map) from the field map's grid onto the functional
// grid by trilinear sampling in scanner coordinates.
#ifndef ONDRIFT_PIPELINE_FIELD_RESAMPLING_H
#define ONDRIFT_PIPELINE_FIELD_RESAMPLING_H

#include <string>

#include "binding/host_parameters.h"
#include "image/datahandler.h"
#include "image/host_documents.h"
#include "pipeline/kernels/grid_placement.h"

namespace ondrift {

/// The voxel-to-scanner affine of a picked project, from its position record and header. Empty
/// when the record describes a grid; otherwise why not (for an error text naming `what`).
std::string placementProblem(const FMRRecord& record, const char* what, Affine34& toWorld);

/// A new one-volume image on the EPI's grid (the EPI's header, `field`'s name) holding the first
/// volume of `field` sampled trilinearly at every EPI voxel centre, through the position records
/// of the field map's project and the EPI's. With a `magnitude` on the field map's grid only
/// voxels above kMagnitudeThreshold are sampled. EPI voxels outside the field map's field of view
/// or mask take the field extrapolated outward from the voxels that were sampled; a partial
/// cover is logged as a warning with the covered share.
///
/// `label` names the values in the log ("field map", "pixel shift map"). Refused, with an empty
/// image of status Failed and the reason logged and stored in `error`: records that give no
/// grid (numbers that are not finite, directions or steps that span no volume), images that do
/// not match their records, and an EPI grid that shares no voxel with the field map's field of
/// view (or whose shared part lies wholly outside the mask).
Image resampleOntoFunctionalGrid(const Image& field, const FMRRecord& fieldRecord,
                                 const Image* magnitude, const Image& epi,
                                 const FMRRecord& epiRecord, const char* label, std::string* error);

}  // namespace ondrift

#endif
