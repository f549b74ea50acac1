#include "cli/phantom/phantom_dataset.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom_pair.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

void writeJsonFile(const std::filesystem::path& p, const nlohmann::json& j) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << j.dump(2) << "\n";
}

void writeDescription(const std::filesystem::path& root) {
    writeJsonFile(root / "dataset_description.json",
                  {{"Name", "phantom"}, {"BIDSVersion", "1.9.0"}, {"DatasetType", "raw"}});
    std::ofstream(root / "README") << "Phantom data set made by the tests of ondrift.\n";
}

PhantomOptions datasetPhantomOptions(int peDirection, bool gentle) {
    PhantomOptions o;
    o.dims = {48, 48, 12};
    o.volumes = 2;
    o.voxelSize = 4.0f;
    o.peDirection = peDirection;
    if (gentle) {
        o.fieldShape = FieldShape::Simple;
        o.echoTime1 = 0.0049;
        o.echoTime2 = 0.0147;
        o.effectiveEchoSpacing = 0.0005;
    }
    return o;
}

SubjectFiles writeSubject(const std::filesystem::path& root, const SubjectStyle& s) {
    SubjectFiles out;
    out.phantom = makePhantom(datasetPhantomOptions(s.peDirection, s.gentle));
    const Phantom& p = out.phantom;
    const std::string ext = s.gzip ? ".nii.gz" : ".nii";
    const std::string sub = "sub-" + s.label;
    const std::string ses = s.session.empty() ? "" : "_ses-" + s.session;
    const fs::path level = fs::path(sub) / (s.session.empty() ? "" : "ses-" + s.session);
    std::string boldName = sub + ses + "_task-rest";
    if (!s.acq.empty()) boldName += "_acq-" + s.acq;
    if (!s.run.empty()) boldName += "_run-" + s.run;
    out.boldStem = boldName + "_bold";
    out.bold = (level / "func" / (out.boldStem + ext)).lexically_normal();
    fs::create_directories(root / out.bold.parent_path());
    fs::create_directories(root / level / "fmap");
    writeNifti((root / out.bold).string(), p.seriesGeometry, p.options.volumes, p.distorted,
               nullptr);

    const int nPE = p.options.dims[static_cast<std::size_t>(directionAxis(s.peDirection))];
    json bold = {{"TaskName", "rest"},
                 {"RepetitionTime", p.options.repetitionTime},
                 {"PhaseEncodingDirection", bidsDirection(s.peDirection)},
                 {"TotalReadoutTime", p.effectiveEchoSpacing() * (nPE - 1)}};
    if (!s.readoutTimeOnly) bold["EffectiveEchoSpacing"] = p.effectiveEchoSpacing();
    if (s.b0Identifier) bold["B0FieldSource"] = "b0map" + s.label;
    if (s.inheritBoldSidecar) {
        writeJsonFile(root / level / (sub + ses + "_task-rest_bold.json"), bold);
    } else {
        writeJsonFile(root / out.bold.parent_path() / (out.boldStem + ".json"), bold);
    }

    const std::string intended = s.uri
                                     ? "bids::" + out.bold.generic_string()
                                     : fs::path(out.bold).lexically_relative(sub).generic_string();
    json link = json::object();
    if (s.b0Identifier) {
        link["B0FieldIdentifier"] = "b0map" + s.label;
    } else {
        link["IntendedFor"] = json::array({intended});
    }
    const fs::path fmap = root / level / "fmap";
    const std::string f = sub + ses;
    const double pi = 3.14159265358979;
    switch (s.kind) {
        case FmapKind::PhaseDifference: {
            std::vector<float> units(p.phase.size());
            for (std::size_t i = 0; i < units.size(); ++i)
                units[i] = static_cast<float>(p.phase[i] / pi * 4096.0);
            writeNifti((fmap / (f + "_phasediff" + ext)).string(), p.geometry, 1, units, nullptr,
                       StoredType{4, 1.0, 0.0});
            writeNifti((fmap / (f + "_magnitude1" + ext)).string(), p.geometry, 1, p.magnitude,
                       nullptr);
            json j = link;
            j["EchoTime1"] = p.options.echoTime1;
            j["EchoTime2"] = p.options.echoTime2;
            writeJsonFile(fmap / (f + "_phasediff.json"), j);
            writeJsonFile(fmap / (f + "_magnitude1.json"), {{"EchoTime", p.options.echoTime1}});
            out.fmapPhase = fmap / (f + "_phasediff" + ext);
            break;
        }
        case FmapKind::TwoPhases: {
            // Scanner units 0…4095 for a full turn; the first echo's phase has a slow
            // pattern of its own, which the difference removes.
            std::vector<float> a(p.phase.size()), b(p.phase.size());
            for (std::size_t i = 0; i < a.size(); ++i) {
                const double first = 0.8 * std::sin(0.05 * static_cast<double>(i % 97)) + 1.0;
                double second = first + p.phase[i];
                auto toUnits = [pi](double v) {
                    v -= 2 * pi * std::floor(v / (2 * pi));
                    return static_cast<float>(std::round(v / (2 * pi) * 4095.0));
                };
                a[i] = toUnits(first);
                b[i] = toUnits(second);
            }
            a[0] = 0;  // the full range of the scanner's units is present
            b[0] = 4095;
            writeNifti((fmap / (f + "_phase1" + ext)).string(), p.geometry, 1, a, nullptr,
                       StoredType{4, 1.0, 0.0});
            writeNifti((fmap / (f + "_phase2" + ext)).string(), p.geometry, 1, b, nullptr,
                       StoredType{4, 1.0, 0.0});
            writeNifti((fmap / (f + "_magnitude1" + ext)).string(), p.geometry, 1, p.magnitude,
                       nullptr);
            writeNifti((fmap / (f + "_magnitude2" + ext)).string(), p.geometry, 1, p.magnitude,
                       nullptr);
            json j1 = link, j2 = link;
            j1["EchoTime"] = p.options.echoTime1;
            j2["EchoTime"] = p.options.echoTime2;
            writeJsonFile(fmap / (f + "_phase1.json"), j1);
            writeJsonFile(fmap / (f + "_phase2.json"), j2);
            writeJsonFile(fmap / (f + "_magnitude1.json"), {{"EchoTime", p.options.echoTime1}});
            writeJsonFile(fmap / (f + "_magnitude2.json"), {{"EchoTime", p.options.echoTime2}});
            out.fmapPhase = fmap / (f + "_phase1" + ext);
            break;
        }
        case FmapKind::FieldMapRadPerSecond:
        case FmapKind::FieldMapTesla: {
            const bool tesla = s.kind == FmapKind::FieldMapTesla;
            std::vector<float> v(p.fieldHz);
            for (float& x : v) x = static_cast<float>(tesla ? x / 42.577478518e6 : x * 2 * pi);
            writeNifti((fmap / (f + "_fieldmap" + ext)).string(), p.geometry, 1, v, nullptr);
            writeNifti((fmap / (f + "_magnitude" + ext)).string(), p.geometry, 1, p.magnitude,
                       nullptr);
            json j = link;
            j["Units"] = tesla ? "T" : "rad/s";
            writeJsonFile(fmap / (f + "_fieldmap.json"), j);
            writeJsonFile(fmap / (f + "_magnitude.json"), json::object());
            out.fmapPhase = fmap / (f + "_fieldmap" + ext);
            break;
        }
        case FmapKind::EpiPair: {
            const int positive = isPositiveDirection(s.peDirection)
                                     ? s.peDirection
                                     : oppositeDirection(s.peDirection);
            const PairFiles files =
                writePhantomPair(makePhantomPair(p.options, positive, 3), fmap, f, link, s.gzip);
            out.fmapPhase = files.first;
            break;
        }
    }
    return out;
}

void writePhantomDataset(const fs::path& root, int subjects) {
    writeDescription(root);
    const FmapKind kinds[] = {FmapKind::PhaseDifference, FmapKind::TwoPhases,
                              FmapKind::FieldMapRadPerSecond, FmapKind::FieldMapTesla};
    const int directions[] = {3, 4, 1, 2};
    for (int i = 0; i < subjects; ++i) {
        SubjectStyle s;
        char label[16];
        std::snprintf(label, sizeof label, "%02d", i + 1);
        s.label = label;
        s.kind = kinds[i % 4];
        s.peDirection = directions[i % 4];
        s.gzip = i % 2 == 0;
        s.uri = i % 3 == 1;
        s.readoutTimeOnly = i % 2 == 1;
        if (i % 5 == 4) s.session = "1";
        writeSubject(root, s);
    }
}

}  // namespace ondrift::cli
