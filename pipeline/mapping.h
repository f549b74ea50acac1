// Carrying the pixel shift map from the field map's geometry into the functional (EPI) geometry
// through an anatomical VMR project.
#ifndef ONDRIFT_PIPELINE_MAPPING_H
#define ONDRIFT_PIPELINE_MAPPING_H

#include <string>

#include "binding/host_abi.h"
#include "image/datahandler.h"
#include "image/host_documents.h"
#include "pipeline/kernels/matrix4.h"

namespace ondrift {

/// The flip that turns the host's FMR frame into the FMR's voxel axes, decided by the direction
/// from the last slice centre to the first: the identity, or −1 at (2, 2) (transversal and
/// coronal slices whose first slice lies lower in z) or at (0, 0) (sagittal slices, |d.x| at
/// least both others, whose first slice lies at larger x).
Matrix4 sliceOrderFlip(const ScannerPositionHeader& position);

/// The matrix from centred VMR voxel coordinates to centred FMR voxel coordinates:
/// F·Si·invertRigid4(ia)·Q·Sv, with every factor logged under its title. Q is F·T when T has an
/// entry other than 1 on its first three diagonal places, otherwise the identity.
void vmrToFmrMatrix(const FMRHeader& header, const ScannerPositionHeader& position,
                    const VMRMainHeader& vmr, const Matrix4& t, const Matrix4& ia, Matrix4& out);

/// Empty when the records can be mapped; otherwise the reason (missing headers, sizes that are
/// not positive finite numbers, grids the images do not match).
std::string mappingInputProblem(const VMRRecord& vmr, const Image& mapped, const FMRRecord& epi,
                                const Image& shifts, const FMRRecord& start);

/// Fills `mapped` (one volume on the EPI grid) with the pixel shifts of `shifts` (on the start
/// project's grid) through every voxel of the VMR, saves it as the "_pixshiftInEPIres" project
/// and AMR images, and refreshes the host's window. Refuses (false, `error` set, nothing done or
/// logged) when mappingInputProblem finds a problem.
bool mapPixelShiftToEPI(const VMRRecord& vmr, Image& mapped, const FMRRecord& epi,
                        const Matrix4& mEpi, const Image& shifts, const FMRRecord& start,
                        const Matrix4& mPhase, const Matrix4& t, std::string& error);

/// The mapping branch of the undistortion step, after the VMR and the EPI were picked: relates
/// the EPI and the start project to the VMR through the host (vxCalculateIAMatrix), logs both
/// matrices, makes `mapped` on the EPI grid (one volume of zeros) and runs mapPixelShiftToEPI.
/// `pixelShift` is the pixel shift map on the start project's grid. False with `error` set when
/// the inputs cannot be mapped or the host cannot relate a project to the VMR (checked before any
/// host call or log entry; the caller logs the text and fails the call); `mapped` is then not
/// valid.
bool runMappingBranch(const VMRRecord& vmr, const FMRRecord& epi, const FMRRecord& start,
                      const Image& epiImage, const Image& pixelShift, Image& mapped,
                      std::string& error);

}  // namespace ondrift

#endif
