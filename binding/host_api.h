// The plug-in's only way to reach its host: one noexcept wrapper per host function used.
//
// The wrappers go through the table that bindHostFunctions fills. A host that does not export a
// name leaves a null entry; the wrapper then answers with the function's failure value (0, null,
// the empty text, nothing logged) instead of calling through a null pointer.
#ifndef ONDRIFT_BINDING_HOST_API_H
#define ONDRIFT_BINDING_HOST_API_H

#include <string>

#include "binding/host_abi.h"

namespace ondrift {

/// Fills the process-wide host function table by name from the host executable. False when the
/// host module or vxGetVersionOfVelmora cannot be found.
bool bindHostFunctions();

/// Number of names in the host function table, and the name at a table position.
inline constexpr int kHostTableSize = 184;
const char* hostFunctionName(int index);
/// True when the table entry of that name is bound (for tests).
bool hostFunctionBound(const char* name);

namespace host {

void getVersion(int* major, int* minor, int* release) noexcept;
void showLogTab() noexcept;
void logText(const char* text) noexcept;
void messageBox(const char* text) noexcept;
void showBusyCursor() noexcept;
void stopBusyCursor() noexcept;
void updateActiveWindow() noexcept;
int getIntegerInput(const char* htmlPrompt, int defaultValue, int minimum, int maximum) noexcept;
/// `pathOut` must have room for kHostOpenFileNameBytes; it is NUL-terminated on return.
int getOpenFileName(const char* title, const char* initialPath, const char* filter,
                    char* pathOut) noexcept;
int getNumberOfDocsInWorkspace() noexcept;
int getDocumentType(int workspaceIndex) noexcept;
void setAsCurrentDocument(int workspaceIndex) noexcept;
int getIDOfCurrentDocument() noexcept;
int getHeaderOfCurrentFMR(FMRHeader* header) noexcept;
int setHeaderOfCurrentFMR(const FMRHeader* header) noexcept;
short** getSTCIntDataOfCurrentFMR() noexcept;
float** getSTCFloatDataOfCurrentFMR() noexcept;
int saveFMRAndSTC(const char* fmrFileName, const char* stcName) noexcept;
int getScannerPositionHeaderOfCurrentFMR(ScannerPositionHeader* position) noexcept;
int getScannerPositionHeaderOfCurrentVMR(ScannerPositionHeader* position) noexcept;
unsigned char* getCurrentVMR(int* dimX, int* dimY, int* dimZ) noexcept;
int getMainHeaderOfCurrentVMR(VMRMainHeader* header) noexcept;
int getPastTransformationsHeaderOfCurrentVMR(PastTransformationsHeader* transformations) noexcept;
int calculateIAMatrix(const ScannerPositionHeader* fmrPosition,
                      const ScannerPositionHeader* vmrPosition,
                      const PastTransformationsHeader* vmrTransformations, float* iaMatrix,
                      float* transformationMatrix, float* out1, float* out2, float* out3,
                      float* out4, float* out5, float* out6) noexcept;
/// Reads a string parameter into a 1024-byte buffer and returns it (NUL-terminated, cut at
/// 1023 characters by the host).
std::string getStringParameter(const char* name);
int getIntParameter(const char* name) noexcept;
float getFloatParameter(const char* name) noexcept;
void setStringParameter(const char* name, const char* value) noexcept;
void setIntParameter(const char* name, int value) noexcept;

}  // namespace host
}  // namespace ondrift

#endif
