// The stand-in host's workspace: the open FMR and VMR documents the plug-in reads and writes.
//
// Document ids are workspace indices (0, 1, ...). A document's data geometry (dimensions, number
// of volumes, data type) is fixed when it is created, so the per-volume pointer arrays handed to
// the plug-in stay valid for the document's life. Tests build documents with addFmr / addVmr,
// run the plug-in, and read back headers, values and the record of every save.
//
//     auto& ws = ondrift::standin::workspace();
//     ws.clear();
//     const int fmr = ws.addFmr({.name = "run1.fmr", .columns = 4, .rows = 4, .slices = 2,
//                                .volumes = 3, .dataType = kFmrInt16, .values = values});
//     ws.setCurrent(fmr);
//     ... run the plug-in ...
//     EXPECT_EQ(ws.fmrValues(fmr, 0), expectedFirstVolume);
//     EXPECT_EQ(ws.saves().back().fmrFileName, "run1_b0.fmr");
#ifndef ONDRIFT_HOST_WORKSPACE_H
#define ONDRIFT_HOST_WORKSPACE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "binding/host_abi.h"
#include "host/past_transformations.h"

namespace ondrift::standin {

/// What a test or the command line gives to create an FMR document.
struct FmrSpec {
    std::string name = "project.fmr";  ///< header file name (at most 303 characters are kept)
    int columns = 1;
    int rows = 1;
    int slices = 1;
    int volumes = 1;           ///< 0 allowed: a document without time points
    int dataType = kFmrInt16;  ///< 1 or 2; any other value makes a document without data
    float voxelSizeX = 1.0f;
    float voxelSizeY = 1.0f;
    float voxelSizeZ = 1.0f;
    /// volumes·columns·rows·slices values, volume by volume, x fastest; empty gives zeros.
    /// 16-bit documents round to the nearest integer and clamp to −32768 … 32767 (NaN → 0).
    std::vector<double> values{};
    ScannerPositionHeader position{};
    std::string amrFileName{};  ///< linked AMR file (at most 262 characters are kept)
};

/// What a test or the command line gives to create a VMR document.
struct VmrSpec {
    std::string name = "anatomy.vmr";
    int dimX = 1;
    int dimY = 1;
    int dimZ = 1;
    float voxelSizeX = 1.0f;
    float voxelSizeY = 1.0f;
    float voxelSizeZ = 1.0f;
    std::vector<std::uint8_t> voxels{};  ///< dimX·dimY·dimZ bytes, x fastest; empty gives zeros
    ScannerPositionHeader position{};
    std::vector<Matrix4> pastTransformations{};  ///< at most kMaxPastTransformations
};

/// A functional project: header, position record and STC data as per-volume arrays.
class FmrDocument {
public:
    /// Allocates zeroed data for the header's geometry. Throws std::invalid_argument when the
    /// columns, rows or slices are below 1, the volumes below 0, or the voxel count does not
    /// fit a signed 32-bit integer.
    FmrDocument(const FMRHeader& header, const ScannerPositionHeader& position);
    explicit FmrDocument(const FmrSpec& description);
    /// A float document that takes over `floatValues` (all volumes, x fastest, volume by volume)
    /// instead of copying them; `description.values` is not used. Throws std::invalid_argument
    /// as above, or when the data type is not float or the number of values does not fit.
    FmrDocument(const FmrSpec& description, std::vector<float>&& floatValues);
    FmrDocument(const FmrDocument&) = delete;
    FmrDocument& operator=(const FmrDocument&) = delete;

    /// The header the host functions hand out. Its dimension fields may be changed here, but
    /// the data keeps the geometry below (the host functions refuse a header that disagrees).
    FMRHeader header{};
    ScannerPositionHeader position{};
    /// The project and STC files this document was opened from; empty for documents made in
    /// memory. A save never overwrites these.
    std::filesystem::path sourceFile;
    std::filesystem::path sourceStcFile;

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    int slices() const { return slices_; }
    int volumes() const { return volumes_; }
    int dataType() const { return dataType_; }
    bool hasData() const { return dataType_ == kFmrInt16 || dataType_ == kFmrFloat32; }
    std::size_t voxelsPerVolume() const;
    /// True when the header's dimensions, volumes and data type are this document's.
    bool headerMatchesData(const FMRHeader& h) const;

    /// One pointer per volume (plus a trailing null), writable; null for the other data type.
    short** intPointers();
    float** floatPointers();
    /// One volume's values; empty for the other data type or a volume out of range.
    std::span<short> intVolume(int volume);
    std::span<float> floatVolume(int volume);
    std::span<const short> intVolume(int volume) const;
    std::span<const float> floatVolume(int volume) const;

    /// Every volume's values in one span (volume by volume); empty for the other data type.
    std::span<const float> floatValues() const;
    std::span<const short> intValues() const;
    /// One volume's values, or all volumes' (volume by volume), as doubles.
    std::vector<double> volumeValues(int volume) const;
    std::vector<double> values() const;
    /// Stores values (volume by volume from the first); converts as FmrSpec::values does.
    /// Throws std::invalid_argument when there are more values than the document holds.
    void setValues(std::span<const double> values);

private:
    FmrDocument(const FMRHeader& header, const ScannerPositionHeader& position, bool allocate);
    void pointFloatVolumes();
    std::size_t offsetOf(int volume) const;

    int columns_ = 0, rows_ = 0, slices_ = 0, volumes_ = 0, dataType_ = 0;
    std::vector<short> intData_;
    std::vector<float> floatData_;
    std::vector<short*> intPointers_;
    std::vector<float*> floatPointers_;
};

/// An anatomical project: main header, 8-bit voxels, position and past transformations.
class VmrDocument {
public:
    /// Throws std::invalid_argument for dimensions below 1 or a voxel count that does not fit
    /// a signed 32-bit integer.
    explicit VmrDocument(const VMRMainHeader& header);
    explicit VmrDocument(const VmrSpec& description);

    VMRMainHeader header{};
    ScannerPositionHeader position{};
    PastTransformationsHeader pastTransformations{};
    std::filesystem::path sourceFile;

    int dimX() const { return dimX_; }
    int dimY() const { return dimY_; }
    int dimZ() const { return dimZ_; }
    std::vector<std::uint8_t>& voxels() { return voxels_; }
    const std::vector<std::uint8_t>& voxels() const { return voxels_; }

private:
    int dimX_ = 0, dimY_ = 0, dimZ_ = 0;
    std::vector<std::uint8_t> voxels_;
};

/// Everything about one vxSaveFMRAndSTC call, taken at the moment of the call.
struct SaveRecord {
    std::string fmrFileName;        ///< as the plug-in passed it
    std::string stcName;            ///< as the plug-in passed it
    int documentIndex = -1;         ///< the current document, -1 when none
    int result = 0;                 ///< what the call returned
    std::string error;              ///< why nothing was written (empty on success)
    std::filesystem::path fmrPath;  ///< the files written (resolved names)
    std::filesystem::path stcPath;
    // Snapshot of the current FMR document (when there is one):
    FMRHeader header{};
    ScannerPositionHeader position{};
    int columns = 0, rows = 0, slices = 0, volumes = 0, dataType = 0;
    std::vector<short> intValues;    ///< all volumes, when the data type is 1
    std::vector<float> floatValues;  ///< all volumes, when the data type is 2
    /// The saved values are still those of document `documentIndex` (deferred saves); no copy
    /// is kept until Workspace::settleSaves.
    bool live = false;

    std::string headerFileName() const;  ///< header.projectFileName (bounded)
    std::string amrFileName() const;     ///< header.amrFileName (bounded)
    /// All volumes' values as doubles (whichever data type).
    std::vector<double> values() const;
    std::vector<double> volumeValues(int volume) const;
};

class Workspace {
public:
    /// Adds a document and returns its id (= workspace index). Throws std::invalid_argument for
    /// impossible geometry or a wrong number of values.
    int addFmr(const FmrSpec& description);
    int addFmr(std::string name, int columns, int rows, int slices, int volumes, int dataType,
               std::vector<double> values = {});
    int addVmr(const VmrSpec& description);
    int addFmr(std::unique_ptr<FmrDocument> document);
    int addVmr(std::unique_ptr<VmrDocument> document);
    /// A document of another type (2 DMR, 4 SRF, ...) that has only a name.
    int addOther(int type, std::string name);

    int size() const { return static_cast<int>(documents_.size()); }
    /// 1 FMR, 3 VMR, another type given to addOther; 0 for an index that names no document.
    int type(int index) const;
    std::string name(int index) const;

    /// The document at the index, or null when it names no document of that kind.
    FmrDocument* findFmr(int index);
    VmrDocument* findVmr(int index);
    const FmrDocument* findFmr(int index) const;
    const VmrDocument* findVmr(int index) const;
    /// As find..., but throws std::out_of_range (for tests: a clear failure, not a null).
    FmrDocument& fmr(int index);
    VmrDocument& vmr(int index);
    const FmrDocument& fmr(int index) const;
    const VmrDocument& vmr(int index) const;

    /// Read-back helpers for tests.
    FMRHeader fmrHeader(int index) const { return fmr(index).header; }
    std::vector<double> fmrValues(int index) const { return fmr(index).values(); }
    std::vector<double> fmrValues(int index, int volume) const {
        return fmr(index).volumeValues(volume);
    }

    /// The current document's index, or -1. An index naming no document leaves none current.
    int current() const { return current_; }
    void setCurrent(int index);
    FmrDocument* currentFmr() { return findFmr(current_); }
    VmrDocument* currentVmr() { return findVmr(current_); }

    /// Every vxSaveFMRAndSTC call, in order.
    const std::vector<SaveRecord>& saves() const { return saves_; }
    void recordSave(SaveRecord record) { saves_.push_back(std::move(record)); }
    /// When false, save records keep no copy of the values (large data in the command line).
    bool keepSaveValues = true;
    /// With keepSaveValues false: a save record stays `live` while its document holds the
    /// saved values, and copies them only when the plug-in next asks for that document's data
    /// arrays (the only way it can change them). `deferredVolumes` says how many volumes such
    /// a copy keeps (unset: all).
    bool deferSaveValues = false;
    std::function<int(const SaveRecord&)> deferredVolumes;
    /// When false, vxSaveFMRAndSTC records the save and succeeds without writing any file: the
    /// saved values stay in memory (with deferSaveValues, in the document itself).
    bool writeProjects = true;
    /// Copies the values of the live save records of a document into the records.
    void settleSaves(int documentIndex);
    /// The values a float save stands for: its own copy, or its live document's. Empty for
    /// other data types or a live record whose document is gone.
    std::span<const float> savedFloatValues(const SaveRecord& record) const;

    /// Where relative names given to vxSaveFMRAndSTC go; empty means the current directory.
    std::filesystem::path outputDirectory;

    /// Host-side refusals and errors (also written to standard error), in order.
    const std::vector<std::string>& errors() const { return errors_; }
    void reportError(const std::string& message);
    /// Stop echoing errors to standard error (tests that provoke them on purpose).
    bool quiet = false;

    /// Closes every document and forgets the current one, the saves, the errors and the
    /// output directory.
    void clear();

private:
    struct Document {
        int type = 0;
        std::string name;
        std::unique_ptr<FmrDocument> fmr;
        std::unique_ptr<VmrDocument> vmr;
    };
    const Document* at(int index) const;

    std::vector<Document> documents_;
    int current_ = -1;
    std::vector<SaveRecord> saves_;
    std::vector<std::string> errors_;
};

/// The process-wide workspace served by the exported host functions.
Workspace& workspace();

/// Copies a text into a fixed header field, cut to fit and NUL-terminated.
void copyName(char* field, std::size_t fieldSize, const std::string& text);
/// A fixed header field as text (up to its first NUL, never past its end).
std::string fieldText(const char* field, std::size_t fieldSize);

}  // namespace ondrift::standin

#endif
