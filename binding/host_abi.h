// The binary interface between the ondrift plug-in and its host.
//
// Both sides include this header: the plug-in (which binds the host functions by name at run
// time and never links them) and the stand-in host (which defines and exports them). Keeping one
// declaration for both means the two cannot drift apart.
//
// Conventions: C linkage, default C calling convention, 32-bit int, NUL-terminated 8-bit texts,
// 32-bit IEEE float. Records are caller-allocated and filled by the host; only the named fields
// are defined, every other byte belongs to the host and is passed back unchanged.
#ifndef ONDRIFT_BINDING_HOST_ABI_H
#define ONDRIFT_BINDING_HOST_ABI_H

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Host records
// ---------------------------------------------------------------------------------------------

/// Header of a functional (FMR) project, 1160 bytes.
struct FMRHeader {
    char projectFileName[304];  ///< offset 0: at most 303 characters + NUL
    std::int32_t nrOfVolumes;   ///< offset 304
    std::int32_t columns;       ///< offset 308: x
    std::int32_t rows;          ///< offset 312: y
    std::int32_t slices;        ///< offset 316: z
    float voxelSizeX;           ///< offset 320
    float voxelSizeY;           ///< offset 324
    float voxelSizeZ;           ///< offset 328
    unsigned char hostOwned1[24];
    std::int32_t dataType;  ///< offset 356: 1 = 16-bit signed integers, 2 = 32-bit floats
    unsigned char hostOwned2[537];
    char amrFileName[263];  ///< offset 897: linked AMR file, at most 262 characters + NUL
};

/// Main header of an anatomical (VMR) project, 368 bytes.
struct VMRMainHeader {
    char fileName[304];  ///< offset 0: at most 303 characters + NUL
    std::int32_t dimX;   ///< offset 304
    std::int32_t dimY;   ///< offset 308
    std::int32_t dimZ;   ///< offset 312
    unsigned char hostOwned1[16];
    float voxelSizeX;  ///< offset 332
    float voxelSizeY;  ///< offset 336
    float voxelSizeZ;  ///< offset 340
    unsigned char hostOwned2[24];
};

/// Slice placement of a project in scanner space, 80 bytes (twenty 4-byte fields).
struct ScannerPositionHeader {
    std::int32_t PosInfosVerified;
    std::int32_t CoordinateSystem;
    float Slice1CenterX, Slice1CenterY, Slice1CenterZ;
    float SliceNCenterX, SliceNCenterY, SliceNCenterZ;
    float RowDirX, RowDirY, RowDirZ;
    float ColDirX, ColDirY, ColDirZ;
    std::int32_t NRows, NCols;
    float FoVRows, FoVCols, SliceThickness, GapThickness;
};

/// Past spatial transformations of a VMR, 10108 bytes; opaque to the plug-in.
struct PastTransformationsHeader {
    unsigned char bytes[10108];
};

static_assert(sizeof(FMRHeader) == 1160);
static_assert(offsetof(FMRHeader, nrOfVolumes) == 304);
static_assert(offsetof(FMRHeader, columns) == 308);
static_assert(offsetof(FMRHeader, rows) == 312);
static_assert(offsetof(FMRHeader, slices) == 316);
static_assert(offsetof(FMRHeader, voxelSizeX) == 320);
static_assert(offsetof(FMRHeader, voxelSizeY) == 324);
static_assert(offsetof(FMRHeader, voxelSizeZ) == 328);
static_assert(offsetof(FMRHeader, dataType) == 356);
static_assert(offsetof(FMRHeader, amrFileName) == 897);
static_assert(sizeof(VMRMainHeader) == 368);
static_assert(offsetof(VMRMainHeader, dimX) == 304);
static_assert(offsetof(VMRMainHeader, dimY) == 308);
static_assert(offsetof(VMRMainHeader, dimZ) == 312);
static_assert(offsetof(VMRMainHeader, voxelSizeX) == 332);
static_assert(offsetof(VMRMainHeader, voxelSizeY) == 336);
static_assert(offsetof(VMRMainHeader, voxelSizeZ) == 340);
static_assert(sizeof(ScannerPositionHeader) == 80);
static_assert(offsetof(ScannerPositionHeader, Slice1CenterX) == 8);
static_assert(offsetof(ScannerPositionHeader, SliceNCenterZ) == 28);
static_assert(offsetof(ScannerPositionHeader, NRows) == 56);
static_assert(offsetof(ScannerPositionHeader, GapThickness) == 76);
static_assert(sizeof(PastTransformationsHeader) == 10108);

/// Document types reported by vxGetDocumentType.
enum : int { kDocFMR = 1, kDocDMR = 2, kDocVMR = 3, kDocSRF = 4 };
/// FMR data types (FMRHeader::dataType).
enum : int { kFmrInt16 = 1, kFmrFloat32 = 2 };

// ---------------------------------------------------------------------------------------------
// Host functions the plug-in calls (exported by the host by exactly these names)
// ---------------------------------------------------------------------------------------------
// A Windows host exports these functions from its executable by name; the stand-in host built
// for Windows marks them so. Everywhere else (the plug-in, POSIX hosts) the mark is empty.
#if defined(_WIN32) && defined(ONDRIFT_BUILDING_HOST)
#define ONDRIFT_HOST_FUNCTION __declspec(dllexport)
#else
#define ONDRIFT_HOST_FUNCTION
#endif

extern "C" {

/// Writes the host's version numbers into the three out-values.
ONDRIFT_HOST_FUNCTION void vxGetVersionOfVelmora(int* major, int* minor, int* release);
/// Brings the log pane to the front.
ONDRIFT_HOST_FUNCTION void vxShowLogTab(void);
/// Appends `text` as one log entry, unchanged (it may hold "\n" and "\t").
ONDRIFT_HOST_FUNCTION void vxLogText(const char* text);
/// Shows `text` in a modal message box.
ONDRIFT_HOST_FUNCTION void vxMessageBox(const char* text);
ONDRIFT_HOST_FUNCTION void vxShowBusyCursor(void);
ONDRIFT_HOST_FUNCTION void vxStopBusyCursor(void);
/// Redraws the active view.
ONDRIFT_HOST_FUNCTION void vxUpdateActiveWindow(void);
/// Shows an HTML prompt and returns the number entered; -1 when the dialog was cancelled.
/// The plug-in passes (text, 0, 0, n); the meaning of the limits is the host's.
ONDRIFT_HOST_FUNCTION int vxGetIntegerInput(const char* htmlPrompt, int defaultValue, int minimum,
                                            int maximum);
/// Open-file dialog. `pathOut` has room for 501 bytes: the host writes at most 500 characters
/// and the NUL. Above 0 when a file was chosen, 0 when cancelled.
ONDRIFT_HOST_FUNCTION int vxGetOpenFileName(const char* title, const char* initialPath,
                                            const char* filter, char* pathOut);
/// Number of open documents, indexed from 0.
ONDRIFT_HOST_FUNCTION int vxGetNumberOfDocsInWorkspace(void);
/// 1 FMR, 2 DMR, 3 VMR, 4 SRF; 0 for an index that names no open document.
ONDRIFT_HOST_FUNCTION int vxGetDocumentType(int workspaceIndex);
/// Makes a document current; an index naming no document leaves no document current.
ONDRIFT_HOST_FUNCTION void vxSetAsCurrentDocument(int workspaceIndex);
/// The current document's id (equal to its workspace index); -1 when none is current.
ONDRIFT_HOST_FUNCTION int vxGetIDOfCurrentDocument(void);
/// Fills `header` from the current FMR; 0 when no FMR is current.
ONDRIFT_HOST_FUNCTION int vxGetHeaderOfCurrentFMR(FMRHeader* header);
/// Replaces the current FMR's header; 0 when no FMR is current.
ONDRIFT_HOST_FUNCTION int vxSetHeaderOfCurrentFMR(const FMRHeader* header);
/// One pointer per volume to columns·rows·slices values, x fastest; host-owned and writable.
/// Null when no FMR is current or its data type is not 16-bit (resp. float).
ONDRIFT_HOST_FUNCTION short** vxGetSTCIntDataOfCurrentFMR(void);
ONDRIFT_HOST_FUNCTION float** vxGetSTCFloatDataOfCurrentFMR(void);
/// Saves the current FMR under the given project and data names. 0 when no FMR is current or
/// nothing could be written; above 0 when the project was written.
ONDRIFT_HOST_FUNCTION int vxSaveFMRAndSTC(const char* fmrFileName, const char* stcName);
/// Fill the position record of the current FMR / VMR; 0 when there is none.
ONDRIFT_HOST_FUNCTION int vxGetScannerPositionHeaderOfCurrentFMR(ScannerPositionHeader* position);
ONDRIFT_HOST_FUNCTION int vxGetScannerPositionHeaderOfCurrentVMR(ScannerPositionHeader* position);
/// The current VMR's voxels (one byte each, x fastest), dimensions in the out-values; null when
/// no VMR is current.
ONDRIFT_HOST_FUNCTION unsigned char* vxGetCurrentVMR(int* dimX, int* dimY, int* dimZ);
/// 0 when no VMR is current.
ONDRIFT_HOST_FUNCTION int vxGetMainHeaderOfCurrentVMR(VMRMainHeader* header);
/// Number of past transformations held (0 when none or no VMR); the record is filled either way.
ONDRIFT_HOST_FUNCTION int vxGetPastTransformationsHeaderOfCurrentVMR(
    PastTransformationsHeader* transformations);
/// `iaMatrix` and `transformationMatrix` receive 16 floats each, row-major (element (r, c) at
/// 4·r + c), for column vectors on the right; out1…out6 one float each. Above 0 on success.
ONDRIFT_HOST_FUNCTION int vxCalculateIAMatrix(const ScannerPositionHeader* fmrPosition,
                                              const ScannerPositionHeader* vmrPosition,
                                              const PastTransformationsHeader* vmrTransformations,
                                              float* iaMatrix, float* transformationMatrix,
                                              float* out1, float* out2, float* out3, float* out4,
                                              float* out5, float* out6);
/// Copies the value into `valueOut` (at most 1024 bytes, NUL included; longer values are cut).
/// A name never set gives the empty text.
ONDRIFT_HOST_FUNCTION void vxGetStringParameter(const char* name, char* valueOut);
/// A name never set gives 0 / 0.0f. Strings, integers and floats are separate stores.
ONDRIFT_HOST_FUNCTION int vxGetIntParameter(const char* name);
ONDRIFT_HOST_FUNCTION float vxGetFloatParameter(const char* name);
ONDRIFT_HOST_FUNCTION void vxSetStringParameter(const char* name, const char* value);
ONDRIFT_HOST_FUNCTION void vxSetIntParameter(const char* name, int value);

}  // extern "C"

/// Size of the buffer the plug-in passes to vxGetStringParameter.
inline constexpr std::size_t kHostStringParameterBytes = 1024;
/// Size of the buffer the plug-in passes to vxGetOpenFileName.
inline constexpr std::size_t kHostOpenFileNameBytes = 501;

#endif
