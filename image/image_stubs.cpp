// Placeholders until host document access, FMR saving and AMR writing land.
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/host_documents.h"

namespace ondrift {

int chooseFMRProject(const char*) { return -1; }
int chooseVMRProject(const char*) { return -1; }
bool readCurrentFMR(FMRRecord&) { return false; }
std::vector<double> fmrDataAsDoubles(const FMRRecord&) { return {}; }
bool loadFMRInto(const char*, Image& image, FMRRecord&) {
    image.setStatus(NotObtained);
    return false;
}
Image loadFMR(const char*) {
    Image image;
    image.setStatus(NotObtained);
    return image;
}
bool readCurrentVMR(VMRRecord&) { return false; }
bool loadVMR(const char*, VMRRecord&) { return false; }
bool getDataFromFile(const char*, int, Image&, const char*) { return false; }
bool saveAsFMR(const Image&, const std::string&) { return false; }
AMRImage buildAMR(const Image&, const std::string&) { return {}; }
bool writeAMR(const AMRImage&) { return false; }
bool saveAsAMR(const Image&, const std::string&) { return false; }

}  // namespace ondrift
