#include "cli/bids/bids_entities.h"

#include <algorithm>
#include <array>

namespace ondrift::cli {

namespace {

// The entity table of the BIDS conventions, in the order names carry them.
constexpr std::array<const char*, 27> kEntityOrder = {
    "sub", "ses",   "sample", "task", "tracksys", "acq",   "nuc",       "voi",   "ce",
    "trc", "stain", "rec",    "dir",  "run",      "mod",   "echo",      "flip",  "inv",
    "mt",  "part",  "proc",   "hemi", "space",    "split", "recording", "chunk", "seg"};
// "res", "den", "label" and "desc" close every name, "desc" last.
constexpr std::array<const char*, 4> kClosingEntities = {"res", "den", "label", "desc"};

}  // namespace

int entityRank(const std::string& key) {
    for (std::size_t i = 0; i < kEntityOrder.size(); ++i) {
        if (key == kEntityOrder[i]) return static_cast<int>(i);
    }
    for (std::size_t i = 0; i < kClosingEntities.size(); ++i) {
        if (key == kClosingEntities[i]) return static_cast<int>(kEntityOrder.size() + 1 + i);
    }
    return static_cast<int>(kEntityOrder.size());  // unknown: before the closing ones
}

std::string BidsName::get(const std::string& key) const {
    for (const auto& [k, v] : entities) {
        if (k == key) return v;
    }
    return {};
}

bool BidsName::has(const std::string& key) const { return !get(key).empty(); }

void BidsName::set(const std::string& key, const std::string& value) {
    auto it = std::find_if(entities.begin(), entities.end(),
                           [&key](const auto& e) { return e.first == key; });
    if (value.empty()) {
        if (it != entities.end()) entities.erase(it);
    } else if (it != entities.end()) {
        it->second = value;
    } else {
        entities.emplace_back(key, value);
    }
}

std::string BidsName::str() const {
    auto ordered = entities;
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        return entityRank(a.first) < entityRank(b.first);
    });
    std::string name;
    for (const auto& [k, v] : ordered) name += k + "-" + v + "_";
    return name + suffix + extension;
}

std::optional<BidsName> parseBidsName(const std::string& fileName) {
    // The extension starts at the first dot (".nii.gz", ".json", ".tsv").
    const auto dot = fileName.find('.');
    BidsName n;
    std::string base = fileName.substr(0, dot);
    if (dot != std::string::npos) n.extension = fileName.substr(dot);
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const auto end = base.find('_', start);
        parts.push_back(base.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (parts.size() < 2) return std::nullopt;
    n.suffix = parts.back();
    if (n.suffix.empty() || n.suffix.find('-') != std::string::npos) return std::nullopt;
    parts.pop_back();
    for (const auto& part : parts) {
        const auto dash = part.find('-');
        if (dash == std::string::npos || dash == 0 || dash + 1 == part.size()) return std::nullopt;
        const std::string key = part.substr(0, dash);
        if (n.has(key)) return std::nullopt;
        n.entities.emplace_back(key, part.substr(dash + 1));
    }
    return n;
}

BidsName derivativeName(const BidsName& source, const std::string& desc, const std::string& suffix,
                        const std::string& extension) {
    BidsName n = source;
    n.set("desc", desc);
    n.suffix = suffix;
    n.extension = extension;
    return n;
}

}  // namespace ondrift::cli
