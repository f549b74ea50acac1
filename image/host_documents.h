// Picking open projects in the host and copying their data into containers and records.
#ifndef ONDRIFT_IMAGE_HOST_DOCUMENTS_H
#define ONDRIFT_IMAGE_HOST_DOCUMENTS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "binding/host_abi.h"
#include "image/datahandler.h"

namespace ondrift {

/// What the plug-in keeps of a picked FMR project. The data arrays belong to the host.
struct FMRRecord {
    std::uint32_t kind = 0;  ///< 5 once filled
    std::unique_ptr<FMRHeader> header;
    std::unique_ptr<ScannerPositionHeader> position;
    short** intData = nullptr;  ///< per-volume arrays when the data type is 1
    bool isFloat = false;
    float** floatData = nullptr;  ///< per-volume arrays when the data type is 2
    short* flatData = nullptr;
    std::uint32_t count = 0;  ///< columns·rows·slices·volumes (one volume's worth when < 1)
};

static_assert(offsetof(FMRRecord, kind) < offsetof(FMRRecord, header) &&
                  offsetof(FMRRecord, header) < offsetof(FMRRecord, position) &&
                  offsetof(FMRRecord, position) < offsetof(FMRRecord, intData) &&
                  offsetof(FMRRecord, intData) < offsetof(FMRRecord, isFloat) &&
                  offsetof(FMRRecord, isFloat) < offsetof(FMRRecord, floatData) &&
                  offsetof(FMRRecord, floatData) < offsetof(FMRRecord, flatData) &&
                  offsetof(FMRRecord, flatData) < offsetof(FMRRecord, count),
              "FMRRecord keeps its documented field order");

/// What the plug-in keeps of a picked VMR project. The voxels belong to the host.
struct VMRRecord {
    std::uint16_t kind = 0;  ///< 1 once filled
    std::uint16_t dimX = 0;
    std::uint16_t dimY = 0;
    std::uint16_t dimZ = 0;
    unsigned char* voxels = nullptr;
    std::unique_ptr<VMRMainHeader> mainHeader;
    VMRMainHeader* mainHeaderCopy = nullptr;  ///< the same header again; the mapping reads it
    std::unique_ptr<ScannerPositionHeader> position;
    std::unique_ptr<PastTransformationsHeader> pastTransformations;
};

static_assert(offsetof(VMRRecord, kind) < offsetof(VMRRecord, dimX) &&
                  offsetof(VMRRecord, dimX) < offsetof(VMRRecord, dimY) &&
                  offsetof(VMRRecord, dimY) < offsetof(VMRRecord, dimZ) &&
                  offsetof(VMRRecord, dimZ) < offsetof(VMRRecord, voxels) &&
                  offsetof(VMRRecord, voxels) < offsetof(VMRRecord, mainHeader) &&
                  offsetof(VMRRecord, mainHeader) < offsetof(VMRRecord, mainHeaderCopy) &&
                  offsetof(VMRRecord, mainHeaderCopy) < offsetof(VMRRecord, position) &&
                  offsetof(VMRRecord, position) < offsetof(VMRRecord, pastTransformations),
              "VMRRecord keeps its documented field order");

/// Capacity of the HTML list shown when a project is picked (65,533 characters + NUL).
inline constexpr std::size_t kProjectListBytes = 65534;

/// The HTML list of a pick: "<HTML>" + prompt + "<P>\n\n", one "<id> = <name><BR>\n\n" per
/// project in ascending id order, then "</HTML>". Bounded by kProjectListBytes: a prompt too
/// long is cut, and projects that no longer fit are left out, so the list always closes.
std::string projectListHtml(const char* prompt, const std::map<int, std::string>& names);

/// Exchanges the two bytes of every value (host data written on the other byte order).
void swapBytes16(std::span<short> values);

/// Lists the open FMR (VMR) projects by id and asks for a number; returns what was entered.
int chooseFMRProject(const char* prompt);
int chooseVMRProject(const char* prompt);

/// Fills the record from the host's current FMR document. False when there is none, when its
/// data type is neither 16-bit (1) nor float (2), when its dimensions are negative or too large
/// for a container, or when the host hands out no data arrays for it.
bool readCurrentFMR(FMRRecord& record);
/// The same on a machine of the given byte order (helperTools::byteOrder: 1 little, 2 big
/// endian); with 2 the host's 16-bit values are swapped in place.
bool readCurrentFMR(FMRRecord& record, int byteOrder);
/// The record's data as doubles, volume after volume, x fastest (count values).
std::vector<double> fmrDataAsDoubles(const FMRRecord& record);
/// Lets the user pick an FMR project and copies it into `image` (status 89, or 92 on failure),
/// and logs its statistics text ("current FMR") unless `logStatistics` is false.
bool loadFMRInto(const char* prompt, Image& image, FMRRecord& record, bool logStatistics = true);
Image loadFMR(const char* prompt);

bool readCurrentVMR(VMRRecord& record);
bool loadVMR(const char* prompt, VMRRecord& record);

/// "Get data from file...", then loadFMRInto; true when loaded with status 89. The file name is
/// not used: the image comes from an open project.
bool getDataFromFile(const char* fileName, int fileTypeId, Image& image, const char* prompt);

}  // namespace ondrift

#endif
