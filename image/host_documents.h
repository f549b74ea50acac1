// Picking open projects in the host and copying their data into containers and records.
#ifndef ONDRIFT_IMAGE_HOST_DOCUMENTS_H
#define ONDRIFT_IMAGE_HOST_DOCUMENTS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "image/datahandler.h"
#include "plugin/host_abi.h"

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

/// Lists the open FMR (VMR) projects by id and asks for a number; returns what was entered.
int chooseFMRProject(const char* prompt);
int chooseVMRProject(const char* prompt);

bool readCurrentFMR(FMRRecord& record);
/// The record's data as doubles, volume after volume, x fastest (count values).
std::vector<double> fmrDataAsDoubles(const FMRRecord& record);
/// Lets the user pick an FMR project and copies it into `image` (status 89, or 92 on failure).
bool loadFMRInto(const char* prompt, Image& image, FMRRecord& record);
Image loadFMR(const char* prompt);

bool readCurrentVMR(VMRRecord& record);
bool loadVMR(const char* prompt, VMRRecord& record);

/// "Get data from file...", then loadFMRInto; true when loaded with status 89. The file name is
/// not used: the image comes from an open project.
bool getDataFromFile(const char* fileName, int fileTypeId, Image& image, const char* prompt);

}  // namespace ondrift

#endif
