// The roughness penalty of the field estimate, in physical units, and its operator.
#ifndef ONDRIFT_CLI_PAIRS_ROUGHNESS_H
#define ONDRIFT_CLI_PAIRS_ROUGHNESS_H

#include <span>

#include "cli/pairs/pair_model.h"

namespace ondrift::pairs {

/// How rough a field is, in (Hz/mm)²: `membrane` times Σ over neighbour pairs of ((a − b)/h)²
/// plus `bendingMm2` (a length squared) times Σ over neighbour triples of ((a − 2b + c)/h²)², h
/// in mm along each axis. Bending leaves a linear field free and rounds a lobe instead of
/// flattening it.
struct Roughness {
    double membrane = 1.0;
    double bendingMm2 = 0.0;
};

/// The roughness of a field, its operator (the gradient of ½·roughness, w = L·v) and L's
/// diagonal.
double roughness(const Grid& g, const Roughness& r, std::span<const double> field);
void applyRoughness(const Grid& g, const Roughness& r, std::span<const double> v,
                    std::span<double> w);
void roughnessDiagonal(const Grid& g, const Roughness& r, std::span<double> diag);

}  // namespace ondrift::pairs

#endif
