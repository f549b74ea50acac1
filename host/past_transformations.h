// The stand-in host's layout inside the opaque 10108-byte PastTransformationsHeader.
//
// The plug-in never looks inside this record; only the stand-in writes it (from a VMR document)
// and reads it back (when it computes the registration matrices). The layout:
//
//   offset 0          int32   number of transformations n (0 ... kMaxPastTransformations)
//   offset 4 + 64·k   16 × float32, transformation k (k = 0 ... n-1), row-major 4×4 matrix,
//                     element (r, c) at 4·r + c, for column vectors on the right
//   the rest          zero
//
// Transformations are listed in the order they were applied to the volume: the first one was
// applied first. A count outside 0 ... kMaxPastTransformations reads as 0 (the record may come
// back from outside and must not steer an index).
#ifndef ONDRIFT_HOST_PAST_TRANSFORMATIONS_H
#define ONDRIFT_HOST_PAST_TRANSFORMATIONS_H

#include <array>
#include <cstring>
#include <vector>

#include "binding/host_abi.h"

namespace ondrift::standin {

using Matrix4 = std::array<float, 16>;  ///< row-major 4×4, element (r, c) at 4·r + c

inline constexpr int kMaxPastTransformations =
    static_cast<int>((sizeof(PastTransformationsHeader) - 4) / sizeof(Matrix4));
static_assert(kMaxPastTransformations == 157);

/// Number of transformations held by the record (0 when the stored count is out of range).
inline int pastTransformationCount(const PastTransformationsHeader& record) {
    std::int32_t n = 0;
    std::memcpy(&n, record.bytes, sizeof n);
    return (n < 0 || n > kMaxPastTransformations) ? 0 : n;
}

/// Transformation k (0-based); the identity when k is not below the count.
inline Matrix4 pastTransformation(const PastTransformationsHeader& record, int k) {
    Matrix4 m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    if (k < 0 || k >= pastTransformationCount(record)) return m;
    std::memcpy(m.data(), record.bytes + 4 + sizeof(Matrix4) * static_cast<std::size_t>(k),
                sizeof(Matrix4));
    return m;
}

/// All transformations of the record, in the order applied.
inline std::vector<Matrix4> pastTransformations(const PastTransformationsHeader& record) {
    std::vector<Matrix4> all;
    const int n = pastTransformationCount(record);
    for (int k = 0; k < n; ++k) all.push_back(pastTransformation(record, k));
    return all;
}

/// A record holding the given transformations; false (record zeroed) when there are more than
/// kMaxPastTransformations.
inline bool makePastTransformations(const std::vector<Matrix4>& all,
                                    PastTransformationsHeader& record) {
    std::memset(record.bytes, 0, sizeof record.bytes);
    if (all.size() > static_cast<std::size_t>(kMaxPastTransformations)) return false;
    const auto n = static_cast<std::int32_t>(all.size());
    std::memcpy(record.bytes, &n, sizeof n);
    for (std::size_t k = 0; k < all.size(); ++k) {
        std::memcpy(record.bytes + 4 + sizeof(Matrix4) * k, all[k].data(), sizeof(Matrix4));
    }
    return true;
}

}  // namespace ondrift::standin

#endif
