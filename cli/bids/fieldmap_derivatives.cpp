#include "cli/bids/fieldmap_derivatives.h"

#include <cctype>

#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/bids/bids_entities.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

std::string fieldMapDerivativeName(const std::string& startStem, const std::string& desc,
                                   const std::string& suffix, const std::string& extension) {
    std::string base;
    if (const auto parsed = parseBidsName(startStem + extension)) {
        for (const auto& [key, value] : parsed->entities) {
            if (key != "desc") base += (base.empty() ? "" : "_") + key + "-" + value;
        }
    }
    if (base.empty()) base = startStem;
    return base + "_desc-" + desc + "_" + suffix + extension;
}

std::string b0FieldIdentifier(const std::vector<std::string>& given, const std::string& startStem) {
    if (!given.empty() && !given.front().empty()) return given.front();
    std::string id = "ondrift_";
    for (const char c : startStem) {
        id += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return id;
}

json fieldMapDerivativeSidecar(const std::string& identifier, const json& intendedFor,
                               const json& sources) {
    return {{"Units", "Hz"},
            {"Description",
             "The field map in Hz that the distortion correction computed its pixel shifts "
             "from."},
            {"B0FieldIdentifier", identifier},
            {"IntendedFor", intendedFor},
            {"Sources", sources},
            {"RawSources", sources}};
}

std::vector<float> magnitudeMask(std::span<const float> magnitude, float scale, float threshold) {
    std::vector<float> mask(magnitude.size());
    for (std::size_t i = 0; i < magnitude.size(); ++i) {
        const float v = scale == 1.0f ? magnitude[i] : magnitude[i] * scale;
        mask[i] = v > threshold ? 1.0f : 0.0f;
    }
    return mask;
}

json writeFieldMapDerivatives(const fs::path& folder, const FieldMapOutputs& o,
                              const std::string& extension, Reporter& reporter) {
    json entry = json::object();
    if (!o.fieldMap.empty()) {
        const std::string name =
            fieldMapDerivativeName(o.startStem, "ondrift", "fieldmap", extension);
        reporter.detail("Writing " + name);
        if (o.fieldMap.parent_path() == folder) {
            fs::copy_file(o.fieldMap, folder / name, fs::copy_options::overwrite_existing);
        } else {
            // A field map in Hz given as the start image: written anew with its own geometry.
            const NiftiImage fm = readNifti(o.fieldMap.string(), {}, &reporter);
            writeNifti((folder / name).string(), fm.geometry, fm.geometry.nt(), fm.data, &reporter);
        }
        const std::string sidecar =
            fieldMapDerivativeName(o.startStem, "ondrift", "fieldmap", ".json");
        const std::string identifier = b0FieldIdentifier(o.identifiers, o.startStem);
        writeFileAtomically(
            folder / sidecar,
            fieldMapDerivativeSidecar(identifier, o.intendedFor, o.sources).dump(2) + "\n");
        entry["fieldMap"] = name;
        entry["fieldMapSidecar"] = sidecar;
        entry["B0FieldIdentifier"] = identifier;
    }
    if (!o.mask.empty() && o.grid.valid() && o.mask.size() == o.grid.voxelsPerVolume()) {
        const std::string name = fieldMapDerivativeName(o.startStem, "brain", "mask", extension);
        reporter.detail("Writing " + name);
        writeNifti((folder / name).string(), o.grid, 1, o.mask, &reporter,
                   StoredType{2, 1.0, 0.0});  // NIFTI_TYPE_UINT8
        entry["mask"] = name;
    }
    return entry;
}

}  // namespace ondrift::cli
