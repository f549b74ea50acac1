#include "cli/bids/run_record.h"

#include <xxhash.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <memory>

#include "cli/base/errors.h"
#include "cli/base/output_folder.h"
#include "cli/base/version.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kFormat = "ondrift run record 1";
constexpr std::size_t kReadBytes = std::size_t{4} << 20;
constexpr std::uintmax_t kMaxRecordBytes = 1 << 20;

std::string hex64(XXH64_hash_t h) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, static_cast<std::uint64_t>(h));
    return text;
}

json inputEntry(const BidsFile& f) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(f.path, ec);
    const auto modified = fs::last_write_time(f.path, ec);
    const std::string metadata = f.sidecar.fields.is_object() ? f.sidecar.fields.dump() : "";
    return {
        {"path", f.relative},
        {"size", ec ? json(nullptr) : json(size)},
        {"modifiedNs", ec ? json(nullptr)
                          : json(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::file_clock::to_sys(modified).time_since_epoch())
                                     .count())},
        {"metadata", hex64(XXH3_64bits(metadata.data(), metadata.size()))}};
}

/// The entries of two lists of {"path", …} objects that differ, by path.
std::string firstDifference(const json& recorded, const json& current) {
    for (const auto& c : current) {
        const json* match = nullptr;
        for (const auto& r : recorded)
            if (r.value("path", "") == c["path"]) match = &r;
        if (match == nullptr) return c["path"].get<std::string>() + " (new)";
        if ((*match)["size"] != c["size"] || (*match)["modifiedNs"] != c["modifiedNs"]) {
            return c["path"].get<std::string>();
        }
        if ((*match)["metadata"] != c["metadata"]) {
            return c["path"].get<std::string>() + " (its sidecar)";
        }
    }
    for (const auto& r : recorded) {
        bool found = false;
        for (const auto& c : current) found = found || r.value("path", "") == c["path"];
        if (!found) return r.value("path", "?") + " (no longer used)";
    }
    return {};
}

std::string changedParameters(const json& recorded, const json& current) {
    std::string names;
    for (const auto& [name, value] : current.items()) {
        if (!recorded.contains(name) || recorded[name] != value) {
            names += (names.empty() ? "" : ", ") + name;
        }
    }
    for (const auto& [name, value] : recorded.items()) {
        if (!current.contains(name)) names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

std::string outputMismatch(const json& outputs, const fs::path& outputRoot) {
    for (const auto& o : outputs) {
        const std::string relative = o.at("path").get<std::string>();
        const fs::path file = outputRoot / relative;
        // Checked before reading: the record could name something outside the outputs.
        if (fs::path(relative).is_absolute()) return "record damaged";
        for (const auto& part : fs::path(relative))
            if (part == "..") return "record damaged";
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) return "output missing: " + relative;
        if (fs::file_size(file, ec) != o.at("size").get<std::uintmax_t>() || ec) {
            return "output damaged: " + relative;
        }
        try {
            if (fileChecksum(file) != o.at("xxh3").get<std::string>()) {
                return "output damaged: " + relative;
            }
        } catch (const ProcessingError&) {
            return "output damaged: " + relative + " (cannot be read)";
        }
    }
    return {};
}

}  // namespace

std::string fileChecksum(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ProcessingError(file.string() + ": cannot read");
    std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> state(XXH3_createState(),
                                                                   &XXH3_freeState);
    if (!state || XXH3_64bits_reset(state.get()) != XXH_OK) throw std::bad_alloc();
    std::vector<char> buffer(kReadBytes);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got > 0) XXH3_64bits_update(state.get(), buffer.data(), got);
    }
    if (in.bad()) throw ProcessingError(file.string() + ": cannot read");
    return hex64(XXH3_64bits_digest(state.get()));
}

RunIdentity runIdentity(const BoldRun& run, const FieldMapSet& set, json parameters) {
    RunIdentity id;
    id.inputs.push_back(inputEntry(run.bold));
    id.inputs.push_back(inputEntry(set.phase));
    if (set.phase2) id.inputs.push_back(inputEntry(*set.phase2));
    if (set.magnitude) id.inputs.push_back(inputEntry(*set.magnitude));
    id.parameters = std::move(parameters);
    return id;
}

std::string recordMismatch(const fs::path& record, const fs::path& outputRoot,
                           const RunIdentity& identity) {
    std::error_code ec;
    if (!fs::exists(record, ec)) return "no record of a finished run";
    json r;
    try {
        if (fs::file_size(record) > kMaxRecordBytes) return "record damaged";
        std::ifstream in(record, std::ios::binary);
        r = json::parse(in);
        if (r.value("format", "") != kFormat) return "record damaged";
        const std::string version = r.at("version").get<std::string>();
        if (version != kOndriftVersion) {
            return "parameters changed: made by ondrift " + version + ", this is " +
                   kOndriftVersion;
        }
        if (const std::string p = changedParameters(r.at("parameters"), identity.parameters);
            !p.empty()) {
            return "parameters changed: " + p;
        }
        if (const std::string i = firstDifference(r.at("inputs"), identity.inputs); !i.empty()) {
            return "inputs changed: " + i;
        }
        return outputMismatch(r.at("outputs"), outputRoot);
    } catch (const std::exception&) {
        return "record damaged";
    }
}

void writeRunRecord(const fs::path& record, const fs::path& outputRoot,
                    const std::vector<fs::path>& outputs, const RunIdentity& identity) {
    json files = json::array();
    for (const auto& f : outputs) {
        files.push_back({{"path", f.lexically_relative(outputRoot).generic_string()},
                         {"size", fs::file_size(f)},
                         {"xxh3", fileChecksum(f)}});
    }
    const json r = {{"format", kFormat},
                    {"version", kOndriftVersion},
                    {"parameters", identity.parameters},
                    {"inputs", identity.inputs},
                    {"outputs", files}};
    writeFileAtomically(record, r.dump(2) + "\n");
}

}  // namespace ondrift::cli
