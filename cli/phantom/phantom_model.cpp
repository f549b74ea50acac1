#include "cli/phantom/phantom_model.h"

#include <algorithm>
#include <cmath>

namespace ondrift::cli {

namespace {
constexpr double kPi = 3.141592653589793;
}

PhantomModel::PhantomModel(const PhantomOptions& o) : o_(o) {
    for (std::size_t a = 0; a < 3; ++a) half_[a] = o.dims[a] * o.voxelSize / 2.0;
    semi_ = {0.72 * half_[0], 0.84 * half_[1], 0.80 * half_[2]};
    simpleLobe_ = {0.0, 0.6 * semi_[1], -0.3 * semi_[2]};
    simpleLobeSigma_ = 0.24 * half_[0];
    period_ = o.voxelSize;
    // The rim is at least a voxel and a bit wide, so that every grid samples it well.
    rimWidth_ = std::max(0.05, 1.2 * o.voxelSize / std::min({semi_[0], semi_[1], semi_[2]}));
    ventricleWidth_ = std::max(0.1, 2.5 * o.voxelSize / semi_[0]);

    // The shim term: `shimCycles` phase cycles across the field of view along its direction.
    std::array<double, 3> d = o.shimDirection;
    const double norm = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double extent = 0;
    for (std::size_t a = 0; a < 3; ++a) {
        d[a] = norm > 0 ? d[a] / norm : (a == 0 ? 1.0 : 0.0);
        extent += std::fabs(d[a]) * 2.0 * half_[a];
    }
    const double dte = o.echoTime2 - o.echoTime1;
    const double hzAcross = dte != 0 ? o.shimCycles / dte : 0.0;
    for (std::size_t a = 0; a < 3; ++a) shim_[a] = extent > 0 ? hzAcross * d[a] / extent : 0.0;

    // Beside the air cavities: above the sinuses (front, low) and beside the ear canals. Their
    // widths are anatomical, in millimetres, whatever the grid.
    const auto& s = semi_;
    lobes_[0] = {{0.0, 0.70 * s[1], -0.35 * s[2]}, {26.0, 24.0, 18.0}, o.frontalLobeHz};
    lobes_[1] = {{0.76 * s[0], -0.05 * s[1], -0.45 * s[2]}, {14.0, 18.0, 16.0}, o.temporalLobeHz};
    lobes_[2] = {
        {-0.76 * s[0], -0.08 * s[1], -0.45 * s[2]}, {14.0, 18.0, 16.0}, 0.8 * o.temporalLobeHz};
}

double PhantomModel::radius(double x, double y, double z) const {
    const double u = x / semi_[0], v = y / semi_[1], w = z / semi_[2];
    return std::sqrt(u * u + v * v + w * w);
}

double PhantomModel::head(double x, double y, double z) const {
    return 1.0 / (1.0 + std::exp(-(1.0 - radius(x, y, z)) / 0.03));
}

double PhantomModel::anatomy(double x, double y, double z) const {
    const double h = head(x, y, z);
    if (h < 1e-9) return 0.0;
    const double r = radius(x, y, z);
    const double u = x / semi_[0], v = y / semi_[1], w = z / semi_[2];
    const double cortex = 400.0 * std::exp(-std::pow((r - 0.85) / rimWidth_, 2));
    auto ventricle = [&](double side) {
        const double e = std::sqrt(std::pow((u - side * 0.22) / ventricleWidth_, 2) +
                                   std::pow((v + 0.05) / 0.35, 2) + std::pow(w / 0.4, 2));
        return 1.0 / (1.0 + std::exp((e - 1.0) / 0.15));
    };
    const double texture = 150.0 * std::sin(2 * kPi * y / (9.0 * period_)) *
                           std::cos(2 * kPi * x / (11.0 * period_)) *
                           std::cos(2 * kPi * z / (13.0 * period_));
    return h * (600.0 + cortex + texture - 350.0 * (ventricle(1.0) + ventricle(-1.0)));
}

double PhantomModel::signal(double x, double y, double z, int t) const {
    const double u = x / semi_[0] + 0.3, v = y / semi_[1] - 0.2, w = z / semi_[2];
    const double activation = std::exp(-(u * u + v * v + w * w) / (2 * 0.12 * 0.12));
    const double cycle = std::sin(2 * kPi * t / std::max(o_.volumes, 2));
    return anatomy(x, y, z) * (1.0 + 0.04 * cycle * activation);
}

double PhantomModel::lobeValue(const Lobe& lobe, double x, double y, double z) const {
    const double p[3] = {x, y, z};
    double e = 0;
    for (std::size_t a = 0; a < 3; ++a) {
        const double t = (p[a] - lobe.centre[a]) / lobe.sigma[a];
        e += t * t;
    }
    return std::exp(-0.5 * e);
}

double PhantomModel::magnitude(double x, double y, double z) const {
    const double shading = 0.85 + 0.15 * std::cos(2 * kPi * x / (17.0 * period_));
    double m = 1000.0 * head(x, y, z) * shading;
    if (o_.fieldShape == FieldShape::Realistic) {
        // Dephasing in the steep field beside the cavities: the core of each lobe goes dark.
        for (const Lobe& lobe : lobes_) {
            Lobe core = lobe;
            for (double& s : core.sigma) s *= 0.7;
            m *= 1.0 - 0.92 * lobeValue(core, x, y, z);
        }
    }
    return m;
}

double PhantomModel::realisticField(double x, double y, double z) const {
    const double u = x / semi_[0], v = y / semi_[1], w = z / semi_[2];
    double f = shim_[0] * x + shim_[1] * y + shim_[2] * z;
    // Not a harmonic: second-order shim residue with a cross term.
    f += o_.quadraticHz * (u * u - 0.5 * v * v + 0.4 * u * v + 0.3 * w * w);
    for (const Lobe& lobe : lobes_) f += lobe.hz * lobeValue(lobe, x, y, z);
    return f;
}

double PhantomModel::field(double x, double y, double z) const {
    if (o_.fieldShape == FieldShape::Realistic) return realisticField(x, y, z);
    const double d2 = std::pow(x - simpleLobe_[0], 2) + std::pow(y - simpleLobe_[1], 2) +
                      std::pow(z - simpleLobe_[2], 2);
    return o_.gradientHz * y / half_[1] + 0.3 * o_.gradientHz * x / half_[0] +
           o_.lobeHz * std::exp(-d2 / (2 * simpleLobeSigma_ * simpleLobeSigma_));
}

}  // namespace ondrift::cli
