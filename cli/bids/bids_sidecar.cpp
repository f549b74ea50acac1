#include "cli/bids/bids_sidecar.h"

#include <cmath>
#include <filesystem>
#include <fstream>

#include "cli/base/errors.h"
#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

std::optional<double> Sidecar::number(const std::string& key) const {
    const auto it = fields.find(key);
    if (it == fields.end() || it->is_null()) return std::nullopt;
    if (!it->is_number() || !std::isfinite(it->get<double>())) {
        throw InputError(path + ": \"" + key + "\" is not a number");
    }
    return it->get<double>();
}

std::optional<std::string> Sidecar::text(const std::string& key) const {
    const auto it = fields.find(key);
    if (it == fields.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) throw InputError(path + ": \"" + key + "\" is not a text");
    return it->get<std::string>();
}

Sidecar readSidecar(const std::string& jsonPath) {
    // Checked before reading: a sidecar is a few hundred bytes, and a device or a stray huge file
    // under a sidecar's name must not be read into memory whole.
    std::error_code ec;
    const auto status = fs::status(jsonPath, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        throw InputError(jsonPath + ": not a regular file");
    }
    const std::uintmax_t size = fs::file_size(jsonPath, ec);
    if (!ec && size > kMaxSidecarBytes) {
        throw InputError(jsonPath + ": too large for a sidecar (" + std::to_string(size) +
                         " bytes, at most " + std::to_string(kMaxSidecarBytes) + ")");
    }
    std::ifstream in(jsonPath);
    if (!in) throw InputError(jsonPath + ": cannot read the sidecar");
    Sidecar s;
    s.path = jsonPath;
    try {
        s.fields = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        std::string what = e.what();
        if (const auto pos = what.find("] "); pos != std::string::npos) what = what.substr(pos + 2);
        throw InputError(jsonPath + ": not valid JSON (" + what + ")");
    }
    if (!s.fields.is_object()) throw InputError(jsonPath + ": not a JSON object");
    return s;
}

std::optional<Sidecar> readSidecarFor(const std::string& niftiPath) {
    const fs::path json = fs::path(niftiPath).parent_path() / (niftiStem(niftiPath) + ".json");
    std::error_code ec;
    if (!fs::exists(json, ec)) return std::nullopt;
    return readSidecar(json.string());
}

double bandwidthFromEchoSpacing(double effectiveEchoSpacing, int nPE) {
    return 1.0 / (effectiveEchoSpacing * nPE);
}

double bandwidthFromReadoutTime(double totalReadoutTime, int nPE) {
    return static_cast<double>(nPE - 1) / (totalReadoutTime * nPE);
}

}  // namespace ondrift::cli
