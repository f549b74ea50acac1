// The six face neighbours of a voxel, for loops over the faces that take no branch per face.
#ifndef ONDRIFT_PIPELINE_KERNELS_FACE_NEIGHBOURS_H
#define ONDRIFT_PIPELINE_KERNELS_FACE_NEIGHBOURS_H

#include <cstddef>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Calls visit(f, q, exists) for the faces f of voxel c at (x, y, z): lower x, upper x, lower
/// y, upper y, lower z, upper z (f / 2 is the axis, f & 1 the upper side). A face beyond the
/// grid gives q = c, the voxel itself, which a test against the voxel's own value passes or
/// fails the way the caller needs: whether a neighbour lies in the mask (as good as random at
/// the edge of a noisy mask) then costs no branch. Written out face by face, without arrays,
/// so that everything stays in registers.
template <typename Visit>
inline void visitFaces(Dims d, std::size_t c, int x, int y, int z, Visit&& visit) {
    const std::size_t row = static_cast<std::size_t>(d.x);
    const std::size_t plane = row * static_cast<std::size_t>(d.y);
    const bool lowX = x > 0, highX = x + 1 < d.x, lowY = y > 0, highY = y + 1 < d.y, lowZ = z > 0,
               highZ = z + 1 < d.z;
    visit(0, lowX ? c - 1 : c, lowX);
    visit(1, highX ? c + 1 : c, highX);
    visit(2, lowY ? c - row : c, lowY);
    visit(3, highY ? c + row : c, highY);
    visit(4, lowZ ? c - plane : c, lowZ);
    visit(5, highZ ? c + plane : c, highZ);
}

}  // namespace ondrift

#endif
