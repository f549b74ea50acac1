#include "cli/bids/bids_derivatives.h"

#include <fstream>
#include "binding/host_parameters.h"

#include "cli/base/output_folder.h"
#include "cli/base/output_names.h"
#include "cli/base/version.h"
#include "cli/bids/displacement_field.h"
#include "cli/bids/fieldmap_derivatives.h"
#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kBidsVersion = "1.9.0";

fs::path levelFolder(const fs::path& outputRoot, const BidsName& name) {
    fs::path p = outputRoot / ("sub-" + name.get("sub"));
    if (name.has("ses")) p /= "ses-" + name.get("ses");
    return p;
}

json sourcesOf(const BoldRun& run, const FieldMapSet& set) {
    json sources = json::array({sourceUri(run.bold.relative), sourceUri(set.phase.relative)});
    if (set.phase2) sources.push_back(sourceUri(set.phase2->relative));
    if (set.magnitude) sources.push_back(sourceUri(set.magnitude->relative));
    return sources;
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

RunOutputs runOutputs(const fs::path& outputRoot, const BoldRun& run, const FieldMapSet* set,
                      const std::string& extension) {
    RunOutputs o;
    const BidsName& b = run.bold.name;
    o.label = niftiStem(run.bold.path.string());
    const fs::path func = levelFolder(outputRoot, b) / "func";
    o.bold = func / derivativeName(b, "undistorted", "bold", extension).str();
    o.boldSidecar = func / derivativeName(b, "undistorted", "bold", ".json").str();
    o.shiftMap = func / derivativeName(b, "ondrift", "pixelshift", extension).str();
    o.shiftMapSidecar = func / derivativeName(b, "ondrift", "pixelshift", ".json").str();
    o.transform = func / transformFileName(o.label, extension);
    o.transformSidecar = func / transformFileName(o.label, ".json");
    if (set != nullptr) {
        const BidsName& f = set->phase.name;
        const fs::path fmap = levelFolder(outputRoot, f) / "fmap";
        o.fieldMap = fmap / derivativeName(f, "ondrift", "fieldmap", extension).str();
        o.fieldMapSidecar = fmap / derivativeName(f, "ondrift", "fieldmap", ".json").str();
        o.fieldMapMask = fmap / derivativeName(f, "brain", "mask", extension).str();
    }
    o.log = outputRoot / "logs" / (o.label + ".log");
    o.summary = outputRoot / "logs" / (o.label + "_ondrift.json");
    o.record = outputRoot / "logs" / (o.label + "_record.json");
    o.projects = outputRoot / "projects" / o.label;
    o.report = outputRoot / "reports" / reportFileName(o.label);
    o.work = outputRoot / ".work" / o.label;
    return o;
}

std::string sourceUri(const std::string& relative) { return "bids:raw:" + relative; }

json datasetDescription(const fs::path& sourceRoot) {
    json source = {{"URL", "file://" + fs::absolute(sourceRoot).lexically_normal().string()}};
    std::error_code ec;
    const fs::path description = sourceRoot / "dataset_description.json";
    if (fs::exists(description, ec)) {
        try {
            const json d = json::parse(readAll(description));
            if (d.contains("DatasetDOI") && d["DatasetDOI"].is_string())
                source["DOI"] = d["DatasetDOI"];
            if (d.contains("Version") && d["Version"].is_string()) source["Version"] = d["Version"];
        } catch (const json::exception&) {
            // The validator reports a broken description; the derivatives do without it.
        }
    }
    return {{"Name", "ondrift: field-map distortion correction"},
            {"BIDSVersion", kBidsVersion},
            {"DatasetType", "derivative"},
            {"GeneratedBy", json::array({{{"Name", "ondrift"},
                                          {"Version", kOndriftVersion},
                                          {"Description",
                                           "EPI distortion correction with a field map by "
                                           "the pixel-shift method"}}})},
            {"SourceDatasets", json::array({source})},
            {"DatasetLinks", {{"raw", source["URL"]}}}};
}

void writeDatasetFiles(const fs::path& outputRoot, const fs::path& sourceRoot) {
    fs::create_directories(outputRoot);
    const std::string description = datasetDescription(sourceRoot).dump(2) + "\n";
    if (readAll(outputRoot / "dataset_description.json") != description)
        writeFileAtomically(outputRoot / "dataset_description.json", description);
    // The run logs, the reports and the plug-in's projects are not BIDS files.
    const std::string ignore = "logs/\nprojects/\nreports/\n.work/\n";
    if (readAll(outputRoot / ".bidsignore") != ignore)
        writeFileAtomically(outputRoot / ".bidsignore", ignore);
}

json correctedSidecar(const BoldRun& run, const FieldMapSet& set, const json& summary) {
    json j = run.bold.sidecar.fields.is_object() ? run.bold.sidecar.fields : json::object();
    j["Sources"] = sourcesOf(run, set);
    j["SkullStripped"] = false;
    json parameters = json::object();
    if (summary.contains("parameters")) {
        for (const auto& [name, entry] : summary["parameters"].items()) {
            if (entry.contains("value")) parameters[name] = entry["value"];
        }
    }
    j["DistortionCorrection"] = {{"Method", "field map, pixel shift"},
                                 {"FieldMapKind", fieldMapKindName(set.kind)},
                                 {"FieldMapMatchedBy", run.matchedBy},
                                 {"Parameters", parameters}};
    return j;
}

json fieldMapSidecar(const BidsPlan& plan, const FieldMapSet& set) {
    json sources = json::array({sourceUri(set.phase.relative)});
    if (set.phase2) sources.push_back(sourceUri(set.phase2->relative));
    if (set.magnitude) sources.push_back(sourceUri(set.magnitude->relative));
    json intendedFor = json::array();
    for (const BoldRun& run : plan.runs) {
        if (run.fieldMap >= 0 && &plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)] == &set)
            intendedFor.push_back(sourceUri(run.bold.relative));
    }
    json j = fieldMapDerivativeSidecar(
        b0FieldIdentifier(set.identifiers, niftiStem(set.phase.relative)), intendedFor, sources);
    j["FieldMapKind"] = fieldMapKindName(set.kind);
    return j;
}

json transformSidecar(const BoldRun& run, const FieldMapSet& set, const json& summary) {
    int code = 0;
    if (summary.contains("parameters") &&
        summary["parameters"].contains(parameter::kPhaseEncodingDir)) {
        code = summary["parameters"][parameter::kPhaseEncodingDir].value("value", 0);
    }
    bool modulated = false;
    if (summary.contains("parameters") &&
        summary["parameters"].contains(parameter::kIntensityModulation)) {
        modulated = summary["parameters"][parameter::kIntensityModulation].value("value", 0) == 1;
    }
    return displacementFieldSidecar(code, sourcesOf(run, set), modulated);
}

json shiftMapSidecar(const BoldRun& run, const FieldMapSet& set, const json& summary) {
    json j = {{"Units", "voxels"}, {"Sources", sourcesOf(run, set)}};
    if (summary.contains("parameters")) {
        const json& p = summary["parameters"];
        if (p.contains(parameter::kPhaseEncodingDir))
            j["PhaseEncodingDirectionCode"] = p[parameter::kPhaseEncodingDir]["value"];
        if (p.contains(parameter::kBandWidthPE))
            j["BandwidthPerPixelPhaseEncode"] = p[parameter::kBandWidthPE]["value"];
    }
    if (const auto it = run.bold.sidecar.fields.find("PhaseEncodingDirection");
        it != run.bold.sidecar.fields.end()) {
        j["PhaseEncodingDirection"] = *it;
    }
    return j;
}

}  // namespace ondrift::cli
