// The analytic images of the phantom in world millimetres: anatomy, the field map's magnitude
// and the field. The head is centred at the origin and sized by the field map's grid.
#ifndef ONDRIFT_CLI_PHANTOM_MODEL_H
#define ONDRIFT_CLI_PHANTOM_MODEL_H

#include <array>

#include "cli/phantom.h"

namespace ondrift::cli {

struct World {
    double x, y, z;
};

/// The world position (mm) of voxel (i, j, k) of a grid with affine `a`.
inline World toWorld(const Affine& a, double i, double j, double k) {
    return {a[0] * i + a[1] * j + a[2] * k + a[3], a[4] * i + a[5] * j + a[6] * k + a[7],
            a[8] * i + a[9] * j + a[10] * k + a[11]};
}

/// A head whose images the phantom samples: this analytic one, or the susceptibility model
/// (cli/phantom_susceptibility.h).
class HeadModel {
public:
    virtual ~HeadModel() = default;
    /// Ellipsoidal radius: 1 on the head's surface (the evaluation keeps below 0.75).
    virtual double radius(double x, double y, double z) const = 0;
    /// The undistorted functional signal of volume t, and its anatomy.
    virtual double anatomy(double x, double y, double z) const = 0;
    virtual double signal(double x, double y, double z, int t) const = 0;
    /// Noise-free field map magnitude at a point.
    virtual double magnitude(double x, double y, double z) const = 0;
    /// That of the voxel of `grid` centred at the point (a model may dephase across it).
    virtual double voxelMagnitude(const Affine& grid, double x, double y, double z) const {
        (void)grid;
        return magnitude(x, y, z);
    }
    /// The field in Hz.
    virtual double field(double x, double y, double z) const = 0;
};

class PhantomModel : public HeadModel {
public:
    explicit PhantomModel(const PhantomOptions& o);

    /// Ellipsoidal radius: 1 on the head's surface.
    double radius(double x, double y, double z) const override;
    /// Soft head indicator, 0…1.
    double head(double x, double y, double z) const;
    /// The undistorted functional signal of volume t.
    double anatomy(double x, double y, double z) const override;
    double signal(double x, double y, double z, int t) const override;
    /// Noise-free field map magnitude: coil shading, and signal lost beside the air cavities.
    double magnitude(double x, double y, double z) const override;
    /// The field in Hz.
    double field(double x, double y, double z) const override;

private:
    struct Lobe {
        std::array<double, 3> centre;
        std::array<double, 3> sigma;
        double hz;
    };
    double realisticField(double x, double y, double z) const;
    double lobeValue(const Lobe& lobe, double x, double y, double z) const;

    PhantomOptions o_;
    std::array<double, 3> half_{};
    std::array<double, 3> semi_{};
    std::array<double, 3> simpleLobe_{};
    double simpleLobeSigma_ = 0;
    double period_ = 0;
    double rimWidth_ = 0;
    double ventricleWidth_ = 0;
    std::array<double, 3> shim_{};  ///< Hz per mm
    std::array<Lobe, 3> lobes_{};
};

}  // namespace ondrift::cli

#endif
