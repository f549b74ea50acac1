// The host function table: one pointer per host function name, bound by name at run time.
//
// The entries live in an array inside a namespace with hidden visibility, never as C symbols
// named like the host's functions: a global `vxLogText` pointer would be resolved by the dynamic
// linker to the host's function of that name.
#include <cstring>

#include "binding/host_api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace ondrift {
namespace {

using AnyFunction = void (*)();

constexpr const char* kNames[kHostTableSize] = {
    "vxGetVersionOfVelmora",
    "vxGetVelmoraPath",
    "vxGetPluginsPath",
    "vxShowLogPane",
    "vxShowLogTab",
    "vxLogText",
    "vxMessageBox",
    "vxYesNoMessageBox",
    "vxGetIntegerInput",
    "vxGetFloatInput",
    "vxGetTextInput",
    "vxGetOpenFileName",
    "vxGetSaveFileName",
    "vxUpdateActiveWindow",
    "vxShowBusyCursor",
    "vxStopBusyCursor",
    "vxPlotPoints",
    "vxAddPointsToPlot",
    "vxPlotLine",
    "vxAddLineToPlot",
    "vxPlotBars",
    "vxAddBarsToPlot",
    "vxShowPlotAtPosition",
    "vxResizePlot",
    "vxSetBarPlotXAxisCategories",
    "vxSetPlotXAxisRange",
    "vxSetPlotYAxisRange",
    "vxSetPlotTitle",
    "vxSetPlotMarkerSizeAndColor",
    "vxSetPlotLineSizeAndColor",
    "vxSetPlotBarColors",
    "vxSetPlotFontSizes",
    "vxShowPlotLegend",
    "vxSetPlotColorTheme",
    "vxGetNumberOfDocsInWorkspace",
    "vxGetDocumentType",
    "vxGetDocumentTypeName",
    "vxGetIDOfCurrentDocument",
    "vxSetAsCurrentDocument",
    "vxCalculateIAMatrix",
    "vxGetTRFParametersFromVolumeToolsDlg",
    "vxGetHeaderOfCurrentFMR",
    "vxSetHeaderOfCurrentFMR",
    "vxGetSTCFloatDataOfCurrentFMR",
    "vxGetSTCIntDataOfCurrentFMR",
    "vxGetSTCDataOfCurrentFMR",
    "vxSaveFMR",
    "vxSaveFMRAndSTC",
    "vxGetScannerPositionHeaderOfCurrentFMR",
    "vxSetScannerPositionHeaderOfCurrentFMR",
    "vxGetHeaderOfCurrentDMR",
    "vxSetHeaderOfCurrentDMR",
    "vxGetDWIFloatDataOfCurrentDMR",
    "vxGetDWIIntDataOfCurrentDMR",
    "vxGetDWIDataOfCurrentDMR",
    "vxConvertDWIFormatOfCurrentDMR",
    "vxSaveDMR",
    "vxSaveDMRAndDWI",
    "vxGetMAPOfCurrentFMR",
    "vxSetMAPParametersOfCurrentFMR",
    "vxDeleteMAPsOfCurrentFMR",
    "vxLoadMAPsToCurrentFMR",
    "vxSaveMAPsOfCurrentFMR",
    "vxCreateMAPForCurrentFMR",
    "vxGetCurrentVMR",
    "vxGetMainHeaderOfCurrentVMR",
    "vxSetMainHeaderOfCurrentVMR",
    "vxGetScannerPositionHeaderOfCurrentVMR",
    "vxSetScannerPositionHeaderOfCurrentVMR",
    "vxGetPastTransformationsHeaderOfCurrentVMR",
    "vxSetPastTransformationsHeaderOfCurrentVMR",
    "vxReframeCurrentVMR",
    "vxGetCrossPositionOfCurrentVMR",
    "vxGetV16OfCurrentVMR",
    "vxLoadV16ToCurrentVMR",
    "vxSaveV16OfCurrentVMR",
    "vxDetachV16FromCurrentVMR",
    "vxConvertV16ToVMR",
    "vxGetNRVMPsOfCurrentVMR",
    "vxGetNRVMPOfCurrentVMR",
    "vxSetNRVMPParametersOfCurrentVMR",
    "vxLoadNRVMPsToCurrentVMR",
    "vxAddNRVMPsToCurrentVMR",
    "vxSaveNRVMPsOfCurrentVMR",
    "vxCreateNRVMPsForCurrentVMR",
    "vxDeleteNRVMPsOfCurrentVMR",
    "vxDeleteNRVMPMap",
    "vxSetNRVMPsParamsDisplayRange",
    "vxGetARVMPsOfCurrentVMR",
    "vxGetARVMPOfCurrentVMR",
    "vxSetARVMPParametersOfCurrentVMR",
    "vxLoadARVMPsToCurrentVMR",
    "vxSaveARVMPsOfCurrentVMR",
    "vxCreateARVMPsForCurrentVMR",
    "vxDeleteARVMPsOfCurrentVMR",
    "vxLinkVTCToCurrentVMR",
    "vxCreateVTCForCurrentVMR",
    "vxGetHeaderOfVTCOfCurrentVMR",
    "vxSetHeaderOfVTCOfCurrentVMR",
    "vxGetVTCOfCurrentVMR",
    "vxGetVTCFloatDataOfCurrentVMR",
    "vxGetVTCIntDataOfCurrentVMR",
    "vxSetVTCParametersOfCurrentVMR",
    "vxSaveVTCOfCurrentVMR",
    "vxClearMultiVTCAnalysis",
    "vxAddVTCRefForMultiVTCAnalysis",
    "vxGetVoxelTimeCourseOfVTC",
    "vxGetVoxelTimeCourseOfVTCs",
    "vxGetVoxelCoordsTimeCourseOfVTC",
    "vxGetVoxelCoordsTimeCourseOfVTCs",
    "vxGetGLMOfCurrentVMR",
    "vxLoadMaskToCurrentVMR",
    "vxGetMaskOfCurrentVMR",
    "vxGetScene",
    "vxLoadSRF",
    "vxAddSRF",
    "vxRemoveCurrentSRF",
    "vxGetCurrentSRF",
    "vxReleaseSRFAccess",
    "vxSaveCurrentSRF",
    "vxSetCurrentSRF",
    "vxLinkMTCToCurrentSRF",
    "vxGetMTCOfCurrentSRF",
    "vxSetMTCParametersOfCurrentSRF",
    "vxCreateMTCForCurrentSRF",
    "vxSaveMTCOfCurrentSRF",
    "vxClearMultiMTCRefsOfCurrentSRF",
    "vxAddMultiMTCRefToCurrentSRF",
    "vxGetVertexTimeCourseOfMTC",
    "vxGetVertexTimeCourseOfAllMTCs",
    "vxGetSMPsOfCurrentSRF",
    "vxGetSMPOfCurrentSRF",
    "vxSetSMPParametersOfCurrentSRF",
    "vxLoadSMPsToCurrentSRF",
    "vxSaveSMPsOfCurrentSRF",
    "vxCreateSMPForCurrentSRF",
    "vxDeleteSMPsOfCurrentSRF",
    "vxOverlaySMPsOnSRF",
    "vxGetSSMOfCurrentSRF",
    "vxLoadSSMToCurrentSRF",
    "vxSaveSSMOfCurrentSRF",
    "vxCreateSSMForCurrentSRF",
    "vxDeleteSSMOfCurrentSRF",
    "vxClearProtocol",
    "vxLoadProtocol",
    "vxSaveProtocol",
    "vxGetProtocol",
    "vxSetProtocol",
    "vxGetProtocolCondition",
    "vxAddProtocolCondition",
    "vxAddProtocolConditionInterval",
    "vxClearDesignMatrix",
    "vxAddPredictor",
    "vxSetPredictorValuesFromCondition",
    "vxSetPredictorValuesFromConditionName",
    "vxApplyTwoGammaHRFToPredictor",
    "vxApplyTwoGammaHRFToPredictorWithName",
    "vxApplyBoyntonHRFToPredictor",
    "vxApplyBoyntonHRFToPredictorWithName",
    "vxGetPredictor",
    "vxGetPredictorByName",
    "vxLoadSingleStudyGLMDesignMatrix",
    "vxSaveSingleStudyGLMDesignMatrix",
    "vxLoadVOIs",
    "vxSaveVOIs",
    "vxGetVOIs",
    "vxGetVOI",
    "vxLoadPOIs",
    "vxSavePOIs",
    "vxGetPOIs",
    "vxGetPOI",
    "vxGetStringParameter",
    "vxGetIntParameter",
    "vxGetFloatParameter",
    "vxSetStringParameter",
    "vxSetIntParameter",
    "vxSetFloatParameter",
    "vxGetDlgStringParameter",
    "vxGetDlgIntegerParameter",
    "vxGetDlgFloatParameter",
    "vxSetDlgStringOutputParameter",
    "vxSetDlgIntegerOutputParameter",
    "vxSetDlgFloatOutputParameter",
    "vxLaunchICADialog",
};

AnyFunction table[kHostTableSize] = {};

int indexOf(const char* name) {
    for (int i = 0; i < kHostTableSize; ++i) {
        if (std::strcmp(kNames[i], name) == 0) return i;
    }
    return -1;
}

#if defined(_WIN32)
using ModuleHandle = HMODULE;
ModuleHandle hostModule() { return GetModuleHandleA("Velmora.exe"); }
AnyFunction lookUp(ModuleHandle module, const char* name) {
    return reinterpret_cast<AnyFunction>(GetProcAddress(module, name));
}
#else
using ModuleHandle = void*;
ModuleHandle hostModule() {
    // The main program's handle stays valid for the life of the process; closing it again would
    // only drop a reference, so it is kept.
    return dlopen(nullptr, RTLD_LAZY);
}
AnyFunction lookUp(ModuleHandle module, const char* name) {
    return reinterpret_cast<AnyFunction>(dlsym(module, name));
}
#endif

}  // namespace

const char* hostFunctionName(int index) {
    return index >= 0 && index < kHostTableSize ? kNames[index] : nullptr;
}

bool hostFunctionBound(const char* name) {
    const int i = indexOf(name);
    return i >= 0 && table[i] != nullptr;
}

bool bindHostFunctions() {
    ModuleHandle module = hostModule();
    if (module == nullptr) return false;
    table[0] = lookUp(module, kNames[0]);
    if (table[0] == nullptr) return false;
    for (int i = 1; i < kHostTableSize; ++i) table[i] = lookUp(module, kNames[i]);
    return true;
}

namespace host {
namespace {

// Index of each called function in the table, checked against the name list at compile time.
constexpr int slot(const char* name) {
    for (int i = 0; i < kHostTableSize; ++i) {
        const char* a = kNames[i];
        const char* b = name;
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        if (*a == *b) return i;
    }
    return -1;
}

template <typename Fn>
Fn entry(int index) {
    return reinterpret_cast<Fn>(table[index]);
}

}  // namespace

#define ONDRIFT_HOST_FN(name) entry<decltype(&::name)>(slot_##name)
#define ONDRIFT_HOST_SLOT(name)              \
    constexpr int slot_##name = slot(#name); \
    static_assert(slot_##name >= 0, "unknown host function " #name);

ONDRIFT_HOST_SLOT(vxGetVersionOfVelmora)
ONDRIFT_HOST_SLOT(vxShowLogTab)
ONDRIFT_HOST_SLOT(vxLogText)
ONDRIFT_HOST_SLOT(vxMessageBox)
ONDRIFT_HOST_SLOT(vxShowBusyCursor)
ONDRIFT_HOST_SLOT(vxStopBusyCursor)
ONDRIFT_HOST_SLOT(vxUpdateActiveWindow)
ONDRIFT_HOST_SLOT(vxGetIntegerInput)
ONDRIFT_HOST_SLOT(vxGetOpenFileName)
ONDRIFT_HOST_SLOT(vxGetNumberOfDocsInWorkspace)
ONDRIFT_HOST_SLOT(vxGetDocumentType)
ONDRIFT_HOST_SLOT(vxSetAsCurrentDocument)
ONDRIFT_HOST_SLOT(vxGetIDOfCurrentDocument)
ONDRIFT_HOST_SLOT(vxGetHeaderOfCurrentFMR)
ONDRIFT_HOST_SLOT(vxSetHeaderOfCurrentFMR)
ONDRIFT_HOST_SLOT(vxGetSTCIntDataOfCurrentFMR)
ONDRIFT_HOST_SLOT(vxGetSTCFloatDataOfCurrentFMR)
ONDRIFT_HOST_SLOT(vxSaveFMRAndSTC)
ONDRIFT_HOST_SLOT(vxGetScannerPositionHeaderOfCurrentFMR)
ONDRIFT_HOST_SLOT(vxGetScannerPositionHeaderOfCurrentVMR)
ONDRIFT_HOST_SLOT(vxGetCurrentVMR)
ONDRIFT_HOST_SLOT(vxGetMainHeaderOfCurrentVMR)
ONDRIFT_HOST_SLOT(vxGetPastTransformationsHeaderOfCurrentVMR)
ONDRIFT_HOST_SLOT(vxCalculateIAMatrix)
ONDRIFT_HOST_SLOT(vxGetStringParameter)
ONDRIFT_HOST_SLOT(vxGetIntParameter)
ONDRIFT_HOST_SLOT(vxGetFloatParameter)
ONDRIFT_HOST_SLOT(vxSetStringParameter)
ONDRIFT_HOST_SLOT(vxSetIntParameter)

// A void host function with a null entry does nothing; a function with a result gives `fail`.
#define ONDRIFT_CALL_VOID(name, ...) \
    if (auto fn = ONDRIFT_HOST_FN(name)) fn(__VA_ARGS__)
#define ONDRIFT_CALL(name, fail, ...) \
    auto fn = ONDRIFT_HOST_FN(name);  \
    return fn ? fn(__VA_ARGS__) : (fail)

void getVersion(int* major, int* minor, int* release) noexcept {
    ONDRIFT_CALL_VOID(vxGetVersionOfVelmora, major, minor, release);
}
void showLogTab() noexcept {
    if (auto fn = ONDRIFT_HOST_FN(vxShowLogTab)) fn();
}
void logText(const char* text) noexcept { ONDRIFT_CALL_VOID(vxLogText, text); }
void messageBox(const char* text) noexcept { ONDRIFT_CALL_VOID(vxMessageBox, text); }
void showBusyCursor() noexcept {
    if (auto fn = ONDRIFT_HOST_FN(vxShowBusyCursor)) fn();
}
void stopBusyCursor() noexcept {
    if (auto fn = ONDRIFT_HOST_FN(vxStopBusyCursor)) fn();
}
void updateActiveWindow() noexcept {
    if (auto fn = ONDRIFT_HOST_FN(vxUpdateActiveWindow)) fn();
}
int getIntegerInput(const char* htmlPrompt, int defaultValue, int minimum, int maximum) noexcept {
    ONDRIFT_CALL(vxGetIntegerInput, -1, htmlPrompt, defaultValue, minimum, maximum);
}
int getOpenFileName(const char* title, const char* initialPath, const char* filter,
                    char* pathOut) noexcept {
    pathOut[0] = '\0';
    auto fn = ONDRIFT_HOST_FN(vxGetOpenFileName);
    const int result = fn ? fn(title, initialPath, filter, pathOut) : 0;
    // A host that fills the whole buffer without a terminator must not make us read past it.
    pathOut[kHostOpenFileNameBytes - 1] = '\0';
    return result;
}
int getNumberOfDocsInWorkspace() noexcept {
    auto fn = ONDRIFT_HOST_FN(vxGetNumberOfDocsInWorkspace);
    return fn ? fn() : 0;
}
int getDocumentType(int workspaceIndex) noexcept {
    ONDRIFT_CALL(vxGetDocumentType, 0, workspaceIndex);
}
void setAsCurrentDocument(int workspaceIndex) noexcept {
    ONDRIFT_CALL_VOID(vxSetAsCurrentDocument, workspaceIndex);
}
int getIDOfCurrentDocument() noexcept {
    auto fn = ONDRIFT_HOST_FN(vxGetIDOfCurrentDocument);
    return fn ? fn() : -1;
}
int getHeaderOfCurrentFMR(FMRHeader* header) noexcept {
    ONDRIFT_CALL(vxGetHeaderOfCurrentFMR, 0, header);
}
int setHeaderOfCurrentFMR(const FMRHeader* header) noexcept {
    ONDRIFT_CALL(vxSetHeaderOfCurrentFMR, 0, header);
}
short** getSTCIntDataOfCurrentFMR() noexcept {
    auto fn = ONDRIFT_HOST_FN(vxGetSTCIntDataOfCurrentFMR);
    return fn ? fn() : nullptr;
}
float** getSTCFloatDataOfCurrentFMR() noexcept {
    auto fn = ONDRIFT_HOST_FN(vxGetSTCFloatDataOfCurrentFMR);
    return fn ? fn() : nullptr;
}
int saveFMRAndSTC(const char* fmrFileName, const char* stcName) noexcept {
    ONDRIFT_CALL(vxSaveFMRAndSTC, 0, fmrFileName, stcName);
}
int getScannerPositionHeaderOfCurrentFMR(ScannerPositionHeader* position) noexcept {
    ONDRIFT_CALL(vxGetScannerPositionHeaderOfCurrentFMR, 0, position);
}
int getScannerPositionHeaderOfCurrentVMR(ScannerPositionHeader* position) noexcept {
    ONDRIFT_CALL(vxGetScannerPositionHeaderOfCurrentVMR, 0, position);
}
unsigned char* getCurrentVMR(int* dimX, int* dimY, int* dimZ) noexcept {
    ONDRIFT_CALL(vxGetCurrentVMR, nullptr, dimX, dimY, dimZ);
}
int getMainHeaderOfCurrentVMR(VMRMainHeader* header) noexcept {
    ONDRIFT_CALL(vxGetMainHeaderOfCurrentVMR, 0, header);
}
int getPastTransformationsHeaderOfCurrentVMR(PastTransformationsHeader* transformations) noexcept {
    ONDRIFT_CALL(vxGetPastTransformationsHeaderOfCurrentVMR, 0, transformations);
}
int calculateIAMatrix(const ScannerPositionHeader* fmrPosition,
                      const ScannerPositionHeader* vmrPosition,
                      const PastTransformationsHeader* vmrTransformations, float* iaMatrix,
                      float* transformationMatrix, float* out1, float* out2, float* out3,
                      float* out4, float* out5, float* out6) noexcept {
    ONDRIFT_CALL(vxCalculateIAMatrix, 0, fmrPosition, vmrPosition, vmrTransformations, iaMatrix,
                 transformationMatrix, out1, out2, out3, out4, out5, out6);
}
std::string getStringParameter(const char* name) {
    char buffer[kHostStringParameterBytes] = {};
    ONDRIFT_CALL_VOID(vxGetStringParameter, name, buffer);
    buffer[kHostStringParameterBytes - 1] = '\0';
    return std::string(buffer);
}
int getIntParameter(const char* name) noexcept { ONDRIFT_CALL(vxGetIntParameter, 0, name); }
float getFloatParameter(const char* name) noexcept {
    ONDRIFT_CALL(vxGetFloatParameter, 0.0f, name);
}
void setStringParameter(const char* name, const char* value) noexcept {
    ONDRIFT_CALL_VOID(vxSetStringParameter, name, value);
}
void setIntParameter(const char* name, int value) noexcept {
    ONDRIFT_CALL_VOID(vxSetIntParameter, name, value);
}

}  // namespace host
}  // namespace ondrift
