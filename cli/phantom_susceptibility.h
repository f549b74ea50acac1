// The second phantom head: its field is not drawn but computed, from a susceptibility model of
// a head (tissue; air outside, in the frontal, sphenoid and maxillary sinuses, the nasal cavity,
// the ear canals and the mastoid cells) by the dipole kernel in Fourier space, at the field
// strength asked for, then shimmed over the brain as a scanner does. Its anatomy has a fixed
// size in mm (a slab of a grid covers what it covers), and the magnitude of a voxel loses the
// signal that the field's gradient dephases across that voxel at the first echo time, so thick
// slices lose more beside the air, as on a scanner.
#ifndef ONDRIFT_CLI_PHANTOM_SUSCEPTIBILITY_H
#define ONDRIFT_CLI_PHANTOM_SUSCEPTIBILITY_H

#include <array>
#include <memory>
#include <vector>

#include "cli/phantom.h"
#include "cli/phantom_model.h"

namespace ondrift::cli {

class SusceptibilityModel : public HeadModel {
public:
    explicit SusceptibilityModel(const PhantomOptions& o);

    /// The brain's ellipsoidal radius; outside the brain (below its floor, in the walls of the
    /// cavities) at least 1.
    double radius(double x, double y, double z) const override;
    double anatomy(double x, double y, double z) const override;
    double signal(double x, double y, double z, int t) const override;
    double magnitude(double x, double y, double z) const override;
    /// The magnitude times |sinc| of the phase the field spreads across the voxel along each of
    /// its axes by the first echo time.
    double voxelMagnitude(const Affine& grid, double x, double y, double z) const override;
    /// Trilinear in the computed field; beyond the grid it was computed on, its nearest edge.
    double field(double x, double y, double z) const override;

    /// Air minus tissue susceptibility at a point, ppm (0 in tissue).
    double susceptibility(double x, double y, double z) const;
    /// Share of the point that is brain (0…1).
    double brain(double x, double y, double z) const;

private:
    /// Occupancies (0…1) with edges as wide as `edge` mm.
    double tissue(double x, double y, double z, double edge) const;
    double cavities(double x, double y, double z, double edge) const;

    PhantomOptions o_;
    std::array<int, 3> dims_{};
    std::array<double, 3> origin_{};
    double spacing_ = 0;
    std::vector<float> fieldHz_;
};

/// The model the options name.
std::unique_ptr<HeadModel> makeHeadModel(const PhantomOptions& o);

}  // namespace ondrift::cli

#endif
