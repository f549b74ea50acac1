// BIDS file names: the key-value entities, the suffix and the extension, and the names of the
// derivatives made from them.
#ifndef ONDRIFT_CLI_BIDS_ENTITIES_H
#define ONDRIFT_CLI_BIDS_ENTITIES_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ondrift::cli {

struct BidsName {
    std::vector<std::pair<std::string, std::string>> entities;  ///< in the order of the name
    std::string suffix;                                         ///< "bold", "phasediff", …
    std::string extension;                                      ///< ".nii.gz", ".json", …

    /// The value of an entity, or "" when absent.
    std::string get(const std::string& key) const;
    bool has(const std::string& key) const;
    /// Sets (or replaces) an entity; an empty value removes it.
    void set(const std::string& key, const std::string& value);
    /// The file name with the entities in the order the BIDS conventions give them.
    std::string str() const;
};

/// Parses "sub-01_ses-1_task-rest_run-2_bold.nii.gz". nullopt when the name is not of that form
/// (no suffix, an entity without "-", an empty key or value).
std::optional<BidsName> parseBidsName(const std::string& fileName);

/// The rank of an entity in the conventional order (sub, ses, … desc); unknown keys after all
/// known ones, in the order they came.
int entityRank(const std::string& key);

/// The name of the derivative of `source`: the same entities plus `desc`, with a new suffix and
/// extension.
BidsName derivativeName(const BidsName& source, const std::string& desc, const std::string& suffix,
                        const std::string& extension);

}  // namespace ondrift::cli

#endif
