// The inputs of `ondrift correct` as read: each image with its sidecar and, once opened, its
// host document; and what is decided from them alone.
#ifndef ONDRIFT_CLI_APP_CORRECT_INPUTS_H
#define ONDRIFT_CLI_APP_CORRECT_INPUTS_H

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

class Reporter;

struct Input {
    std::string role;
    NiftiImage image;
    std::optional<Sidecar> sidecar;
    std::string document;  ///< name of its host document
    int index = -1;        ///< workspace index
    double seconds = 0;
};

/// `path` made absolute and normal; empty stays empty.
std::string absolutePath(const std::string& path);

/// "64x64x16 voxels of 3x3x3 mm", for messages.
std::string gridText(const NiftiGeometry& g);

/// Reads the image and its sidecar (`given`, else the X.json beside it).
Input readInput(const std::string& role, const std::string& path, bool nanToZero,
                Reporter& reporter, const std::optional<Sidecar>& given = std::nullopt);

/// The factor the magnitude is scaled by: `--magnitude-scale` auto, none or a factor.
float magnitudeScale(const std::string& option, const Input& magnitude, Reporter& reporter);

/// A unique document name per input: its stem with ".fmr" / ".vmr".
std::string documentName(const std::string& stem, const std::string& extension,
                         std::map<std::string, int>& used);

/// The input as ondrift.json describes it.
nlohmann::json inputJson(const Input& in);

}  // namespace ondrift::cli

#endif
