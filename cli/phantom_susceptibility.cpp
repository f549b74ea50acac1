#include "cli/phantom_susceptibility.h"

#include <algorithm>
#include <cmath>

#include "cli/errors.h"
#include "cli/phantom_dipole.h"

namespace ondrift::cli {

namespace {

constexpr double kPi = 3.141592653589793;
/// Larmor frequency over field, Hz per tesla per ppm.
constexpr double kHzPerTeslaPpm = 42.577478518;
/// The grid the field is computed on spans this much (mm) around the head, so that its periodic
/// copies lie far from it: a head is about 160 × 200 mm and, with the neck, 290 mm tall.
constexpr std::array<double, 3> kGridExtentMm{256.0, 256.0, 512.0};
constexpr std::array<double, 3> kGridCentreMm{0.0, -15.0, -40.0};

struct Ellipsoid {
    std::array<double, 3> centre;
    std::array<double, 3> semi;
};

// World millimetres (x left to right, y back to front, z up), the origin near the middle of
// the brain. Sizes are those of an adult head.
constexpr Ellipsoid kHead{{0, -15, 5}, {78, 100, 95}};
constexpr Ellipsoid kNeck{{0, -30, -110}, {55, 60, 75}};
constexpr double kScalpMm = 6.0;  ///< scalp, then skull
/// The brain, inside the skull; below it the skull base, above which it rests on the anterior
/// cranial fossa (front) and the middle and posterior fossae (back), mm up from the origin.
constexpr Ellipsoid kBrain{{0, -15, 15}, {66, 88, 72}};
constexpr double kFrontFloorZ = -14, kBackFloorZ = -50, kFloorFrontY = 25, kFloorBackY = -10;
/// Bone and mucosa around each cavity, mm.
constexpr double kCavityWallMm = 5.0;
constexpr Ellipsoid kCavities[] = {
    {{0, 60, 12}, {15, 8, 12}},                                   // frontal sinus
    {{0, 12, -22}, {12, 11, 10}},                                 // sphenoid sinus
    {{24, 42, -48}, {13, 17, 15}},                                // maxillary sinuses
    {{-24, 42, -48}, {13, 17, 15}}, {{0, 58, -35}, {8, 22, 18}},  // nasal cavity
};
/// Mastoid air cells: bone with air in about half its volume.
constexpr Ellipsoid kMastoids[] = {{{52, -38, -32}, {11, 13, 11}}, {{-52, -38, -32}, {11, 13, 11}}};
constexpr double kMastoidAir = 0.5;
/// Ear canals: open to the outside along x at y, z; radius and depth, mm.
constexpr double kCanalY = -22, kCanalZ = -30, kCanalRadius = 4.0, kCanalInnerX = 48.0;
constexpr Ellipsoid kVentricles[] = {{{11, -10, 18}, {7, 26, 10}}, {{-11, -10, 18}, {7, 26, 10}}};

/// Share of a point inside the ellipsoid grown by `grow` mm, with an edge `edge` mm wide: the
/// signed distance approximated by the radius' excess over its gradient.
double inside(const Ellipsoid& e, double x, double y, double z, double edge, double grow = 0) {
    const double p[3] = {x - e.centre[0], y - e.centre[1], z - e.centre[2]};
    double r2 = 0, g2 = 0;
    for (std::size_t a = 0; a < 3; ++a) {
        const double s = e.semi[a] + grow;
        r2 += p[a] * p[a] / (s * s);
        g2 += p[a] * p[a] / (s * s * s * s);
    }
    const double r = std::sqrt(r2);
    const double distance = g2 > 0 ? (r - 1.0) * r / std::sqrt(g2) : -e.semi[0];
    return std::clamp(0.5 - distance / edge, 0.0, 1.0);
}

double canal(double x, double y, double z, double edge) {
    const double ax = std::fabs(x);
    const double radial = std::hypot(y - kCanalY, z - kCanalZ);
    const double distance = std::max(radial - kCanalRadius, kCanalInnerX - ax);
    return std::clamp(0.5 - distance / edge, 0.0, 1.0);
}

double sinc(double v) { return std::fabs(v) < 1e-9 ? 1.0 : std::sin(kPi * v) / (kPi * v); }

/// Real spherical harmonics up to second order at p (mm from the brain's centre, in 100 mm).
int harmonics(int order, const double p[3], double out[9]) {
    int n = 0;
    if (order >= 0) out[n++] = 1.0;
    if (order >= 1) {
        out[n++] = p[0];
        out[n++] = p[1];
        out[n++] = p[2];
    }
    if (order >= 2) {
        out[n++] = p[0] * p[1];
        out[n++] = p[0] * p[2];
        out[n++] = p[1] * p[2];
        out[n++] = p[0] * p[0] - p[1] * p[1];
        out[n++] = 2 * p[2] * p[2] - p[0] * p[0] - p[1] * p[1];
    }
    return n;
}

/// Solves the n × n system a·x = b in place (partial pivoting); false when singular.
bool solve(double a[9][9], double b[9], int n) {
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (std::fabs(a[pivot][c]) < 1e-12) return false;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (int r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int c = n - 1; c >= 0; --c) {
        for (int k = c + 1; k < n; ++k) b[c] -= a[c][k] * b[k];
        b[c] /= a[c][c];
    }
    return true;
}

}  // namespace

const char* generatorName(Generator generator) {
    return generator == Generator::Susceptibility ? "susceptibility" : "analytic";
}

bool generatorFromName(const std::string& name, Generator& generator) {
    for (Generator g : {Generator::Analytic, Generator::Susceptibility}) {
        if (name == generatorName(g)) {
            generator = g;
            return true;
        }
    }
    return false;
}

SusceptibilityModel::SusceptibilityModel(const PhantomOptions& o) : o_(o) {
    const SusceptibilityOptions& s = o.susceptibility;
    if (!(s.gridSpacingMm >= 0.5 && s.gridSpacingMm <= 8.0) || !(s.fieldStrengthT > 0) ||
        s.shimOrder < -1 || s.shimOrder > 2) {
        throw InputError(
            "phantom: the susceptibility grid's spacing must be 0.5-8 mm, the field "
            "strength positive and the shim order -1 to 2");
    }
    spacing_ = s.gridSpacingMm;
    std::size_t n = 1;
    for (std::size_t a = 0; a < 3; ++a) {
        int d = 2;
        while (d * spacing_ < kGridExtentMm[a]) d *= 2;
        dims_[a] = d;
        origin_[a] = kGridCentreMm[a] - (d - 1) * spacing_ / 2.0;
        n *= static_cast<std::size_t>(d);
    }
    if (n > kMaxDipoleVoxels) throw InputError("phantom: the susceptibility grid is too fine");
    std::vector<double> chi(n);
    for (int z = 0, i = 0; z < dims_[2]; ++z) {
        for (int y = 0; y < dims_[1]; ++y) {
            for (int x = 0; x < dims_[0]; ++x, ++i) {
                chi[static_cast<std::size_t>(i)] =
                    susceptibility(origin_[0] + x * spacing_, origin_[1] + y * spacing_,
                                   origin_[2] + z * spacing_);
            }
        }
    }
    const std::vector<double> relative = dipoleField(chi, dims_, {spacing_, spacing_, spacing_});
    const double hzPerPpm = kHzPerTeslaPpm * s.fieldStrengthT;

    // The shim: least squares over the brain's voxels, in units of 100 mm from its centre.
    double normal[9][9] = {}, rhs[9] = {}, basis[9];
    const int terms = s.shimOrder < 0 ? 0 : (s.shimOrder == 0 ? 1 : (s.shimOrder == 1 ? 4 : 9));
    auto scaled = [&](int x, int y, int z, double p[3]) {
        p[0] = (origin_[0] + x * spacing_ - kHead.centre[0]) / 100.0;
        p[1] = (origin_[1] + y * spacing_ - kHead.centre[1]) / 100.0;
        p[2] = (origin_[2] + z * spacing_ - kHead.centre[2]) / 100.0;
    };
    for (int z = 0, i = 0; terms > 0 && z < dims_[2]; ++z) {
        for (int y = 0; y < dims_[1]; ++y) {
            for (int x = 0; x < dims_[0]; ++x, ++i) {
                double p[3];
                scaled(x, y, z, p);
                const double wx = origin_[0] + x * spacing_, wy = origin_[1] + y * spacing_,
                             wz = origin_[2] + z * spacing_;
                if (brain(wx, wy, wz) < 0.5 || chi[static_cast<std::size_t>(i)] > 0) continue;
                harmonics(s.shimOrder, p, basis);
                const double f = hzPerPpm * relative[static_cast<std::size_t>(i)];
                for (int r = 0; r < terms; ++r) {
                    rhs[r] += basis[r] * f;
                    for (int c = 0; c < terms; ++c) normal[r][c] += basis[r] * basis[c];
                }
            }
        }
    }
    if (terms > 0 && !solve(normal, rhs, terms)) {
        throw ProcessingError("internal error: the phantom's shim has no solution");
    }
    fieldHz_.resize(n);
    for (int z = 0, i = 0; z < dims_[2]; ++z) {
        for (int y = 0; y < dims_[1]; ++y) {
            for (int x = 0; x < dims_[0]; ++x, ++i) {
                double p[3];
                scaled(x, y, z, p);
                double shim = 0;
                if (terms > 0) {
                    harmonics(s.shimOrder, p, basis);
                    for (int r = 0; r < terms; ++r) shim += rhs[r] * basis[r];
                }
                fieldHz_[static_cast<std::size_t>(i)] =
                    static_cast<float>(hzPerPpm * relative[static_cast<std::size_t>(i)] - shim);
            }
        }
    }
}

double SusceptibilityModel::tissue(double x, double y, double z, double edge) const {
    return std::max(inside(kHead, x, y, z, edge), inside(kNeck, x, y, z, edge));
}

double SusceptibilityModel::cavities(double x, double y, double z, double edge) const {
    double air = canal(x, y, z, edge);
    for (const Ellipsoid& c : kCavities) air = std::max(air, inside(c, x, y, z, edge));
    for (const Ellipsoid& m : kMastoids)
        air = std::max(air, kMastoidAir * inside(m, x, y, z, edge));
    return air;
}

double SusceptibilityModel::susceptibility(double x, double y, double z) const {
    // Edges one grid spacing wide: each voxel holds its share of air.
    const double t = tissue(x, y, z, spacing_);
    const double air = 1.0 - t + t * cavities(x, y, z, spacing_);
    return o_.susceptibility.airMinusTissuePpm * air;
}

double SusceptibilityModel::brain(double x, double y, double z) const {
    const double t = std::clamp((y - kFloorBackY) / (kFloorFrontY - kFloorBackY), 0.0, 1.0);
    const double floor = kBackFloorZ + t * (kFrontFloorZ - kBackFloorZ);
    double walls = canal(x, y, z, 1.0 + 2 * kCavityWallMm);
    for (const Ellipsoid& c : kCavities) {
        walls = std::max(walls, inside(c, x, y, z, 1.0, kCavityWallMm));
    }
    for (const Ellipsoid& m : kMastoids) {
        walls = std::max(walls, inside(m, x, y, z, 1.0, kCavityWallMm));
    }
    return inside(kBrain, x, y, z, 1.0) * std::clamp(0.5 + (z - floor), 0.0, 1.0) * (1.0 - walls);
}

double SusceptibilityModel::radius(double x, double y, double z) const {
    const double u = (x - kBrain.centre[0]) / kBrain.semi[0],
                 v = (y - kBrain.centre[1]) / kBrain.semi[1],
                 w = (z - kBrain.centre[2]) / kBrain.semi[2];
    const double r = std::sqrt(u * u + v * v + w * w);
    return brain(x, y, z) < 0.5 ? std::max(r, 1.0) : r;
}

double SusceptibilityModel::anatomy(double x, double y, double z) const {
    const double head = tissue(x, y, z, 1.0);
    if (head <= 0) return 0.0;
    const double skull = inside(kHead, x, y, z, 1.0, -kScalpMm);
    const double b = brain(x, y, z);
    double ventricles = 0;
    for (const Ellipsoid& v : kVentricles) ventricles = std::max(ventricles, inside(v, x, y, z, 2));
    // Cortex along the brain's edge, and folds of a few centimetres.
    const double depth = inside(kBrain, x, y, z, 8.0, -6.0);
    const double cortex = 250.0 * b * (1.0 - depth);
    const double folds = 120.0 * std::sin(2 * kPi * x / 23.0) * std::cos(2 * kPi * y / 29.0) *
                         std::cos(2 * kPi * z / 19.0);
    const double brainSignal = 650.0 + cortex + folds * depth + 450.0 * ventricles;
    return ((head - skull) * 550.0 + (skull - b) * 60.0 + b * brainSignal) *
           (1.0 - cavities(x, y, z, 1.0));
}

double SusceptibilityModel::signal(double x, double y, double z, int t) const {
    const double u = (x - 25.0) / 15.0, v = (y + 40.0) / 15.0, w = (z - 20.0) / 15.0;
    const double activation = std::exp(-(u * u + v * v + w * w) / 2.0);
    const double cycle = std::sin(2 * kPi * t / std::max(o_.volumes, 2));
    return anatomy(x, y, z) * (1.0 + 0.04 * cycle * activation);
}

double SusceptibilityModel::magnitude(double x, double y, double z) const {
    // Receive coils close to the head make its outside brighter than its middle.
    const double r2 = (std::pow(x - kHead.centre[0], 2) + std::pow(y - kHead.centre[1], 2) +
                       std::pow(z - kHead.centre[2], 2)) /
                      (90.0 * 90.0);
    const double head = tissue(x, y, z, 1.0);
    const double b = brain(x, y, z);
    const double skull = inside(kHead, x, y, z, 1.0, -kScalpMm);
    double ventricles = 0;
    for (const Ellipsoid& v : kVentricles) ventricles = std::max(ventricles, inside(v, x, y, z, 2));
    const double value =
        (head - skull) * 700.0 + (skull - b) * 80.0 + b * (900.0 + 300.0 * ventricles);
    return value * (1.0 - cavities(x, y, z, 1.0)) * (1.0 + 0.25 * r2);
}

double SusceptibilityModel::voxelMagnitude(const Affine& grid, double x, double y, double z) const {
    const double m = magnitude(x, y, z);
    if (m <= 0) return 0.0;
    const double h = spacing_ / 2.0;
    const double g[3] = {(field(x + h, y, z) - field(x - h, y, z)) / (2 * h),
                         (field(x, y + h, z) - field(x, y - h, z)) / (2 * h),
                         (field(x, y, z + h) - field(x, y, z - h)) / (2 * h)};
    double factor = 1.0;
    for (std::size_t a = 0; a < 3; ++a) {
        // Hz across the voxel along its axis a: the gradient along the affine's column.
        const double across = g[0] * grid[a] + g[1] * grid[4 + a] + g[2] * grid[8 + a];
        factor *= std::fabs(sinc(across * o_.echoTime1));
    }
    return m * factor;
}

double SusceptibilityModel::field(double x, double y, double z) const {
    const double p[3] = {x, y, z};
    std::size_t base[3];
    double f[3];
    for (std::size_t a = 0; a < 3; ++a) {
        const double u = std::clamp((p[a] - origin_[a]) / spacing_, 0.0, dims_[a] - 1.000001);
        base[a] = static_cast<std::size_t>(u);
        f[a] = u - static_cast<double>(base[a]);
    }
    const auto nx = static_cast<std::size_t>(dims_[0]), ny = static_cast<std::size_t>(dims_[1]);
    double value = 0;
    for (int c = 0; c < 8; ++c) {
        const std::size_t dx = c & 1, dy = (c >> 1) & 1, dz = (c >> 2) & 1;
        const double w = (dx ? f[0] : 1 - f[0]) * (dy ? f[1] : 1 - f[1]) * (dz ? f[2] : 1 - f[2]);
        value += w * fieldHz_[((base[2] + dz) * ny + base[1] + dy) * nx + base[0] + dx];
    }
    return value;
}

std::unique_ptr<HeadModel> makeHeadModel(const PhantomOptions& o) {
    if (o.generator == Generator::Susceptibility) return std::make_unique<SusceptibilityModel>(o);
    return std::make_unique<PhantomModel>(o);
}

}  // namespace ondrift::cli
