// The exported host functions that read and change the workspace's documents.
//
// Every function tolerates null arguments and answers "no document" (0, null, -1) instead of
// failing when nothing suitable is current.
#include <cstring>
#include <string>

#include "binding/host_abi.h"
#include "host/project_files.h"
#include "host/workspace.h"

using ondrift::standin::FmrDocument;
using ondrift::standin::VmrDocument;
using ondrift::standin::workspace;

extern "C" {

int vxGetNumberOfDocsInWorkspace(void) { return workspace().size(); }

int vxGetDocumentType(int workspaceIndex) { return workspace().type(workspaceIndex); }

void vxSetAsCurrentDocument(int workspaceIndex) { workspace().setCurrent(workspaceIndex); }

int vxGetIDOfCurrentDocument(void) { return workspace().current(); }

int vxGetHeaderOfCurrentFMR(FMRHeader* header) {
    const FmrDocument* fmr = workspace().currentFmr();
    if (fmr == nullptr || header == nullptr) return 0;
    *header = fmr->header;
    return 1;
}

int vxSetHeaderOfCurrentFMR(const FMRHeader* header) {
    auto& ws = workspace();
    FmrDocument* fmr = ws.currentFmr();
    if (fmr == nullptr || header == nullptr) return 0;
    // The data arrays were handed out with the document's geometry; a header that claimed other
    // dimensions, volumes or data type would make later readers index past them.
    if (!fmr->headerMatchesData(*header)) {
        ws.reportError("vxSetHeaderOfCurrentFMR refused: the new header's dimensions (" +
                       std::to_string(header->columns) + " x " + std::to_string(header->rows) +
                       " x " + std::to_string(header->slices) + ", " +
                       std::to_string(header->nrOfVolumes) + " volumes, data type " +
                       std::to_string(header->dataType) + ") differ from the document's data (" +
                       std::to_string(fmr->columns()) + " x " + std::to_string(fmr->rows()) +
                       " x " + std::to_string(fmr->slices()) + ", " +
                       std::to_string(fmr->volumes()) + " volumes, data type " +
                       std::to_string(fmr->dataType()) + ")");
        return 0;
    }
    fmr->header = *header;
    return 1;
}

// The plug-in can change a document's values only through these pointers, so saves that still
// stand for the document's values take their copy now.
short** vxGetSTCIntDataOfCurrentFMR(void) {
    auto& ws = workspace();
    ws.settleSaves(ws.current());
    FmrDocument* fmr = ws.currentFmr();
    return fmr != nullptr ? fmr->intPointers() : nullptr;
}

float** vxGetSTCFloatDataOfCurrentFMR(void) {
    auto& ws = workspace();
    ws.settleSaves(ws.current());
    FmrDocument* fmr = ws.currentFmr();
    return fmr != nullptr ? fmr->floatPointers() : nullptr;
}

int vxSaveFMRAndSTC(const char* fmrFileName, const char* stcName) {
    return ondrift::standin::saveCurrentFmr(workspace(), fmrFileName, stcName);
}

int vxGetScannerPositionHeaderOfCurrentFMR(ScannerPositionHeader* position) {
    const FmrDocument* fmr = workspace().currentFmr();
    if (fmr == nullptr || position == nullptr) return 0;
    *position = fmr->position;
    return 1;
}

int vxGetScannerPositionHeaderOfCurrentVMR(ScannerPositionHeader* position) {
    const VmrDocument* vmr = workspace().currentVmr();
    if (vmr == nullptr || position == nullptr) return 0;
    *position = vmr->position;
    return 1;
}

unsigned char* vxGetCurrentVMR(int* dimX, int* dimY, int* dimZ) {
    VmrDocument* vmr = workspace().currentVmr();
    if (vmr == nullptr) return nullptr;
    if (dimX != nullptr) *dimX = vmr->dimX();
    if (dimY != nullptr) *dimY = vmr->dimY();
    if (dimZ != nullptr) *dimZ = vmr->dimZ();
    return vmr->voxels().data();
}

int vxGetMainHeaderOfCurrentVMR(VMRMainHeader* header) {
    const VmrDocument* vmr = workspace().currentVmr();
    if (vmr == nullptr || header == nullptr) return 0;
    *header = vmr->header;
    return 1;
}

int vxGetPastTransformationsHeaderOfCurrentVMR(PastTransformationsHeader* transformations) {
    if (transformations == nullptr) return 0;
    const VmrDocument* vmr = workspace().currentVmr();
    if (vmr == nullptr) {
        ondrift::standin::makePastTransformations({}, *transformations);
        return 0;
    }
    *transformations = vmr->pastTransformations;
    return ondrift::standin::pastTransformationCount(*transformations);
}

}  // extern "C"
