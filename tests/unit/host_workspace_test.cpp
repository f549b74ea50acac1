// The stand-in host's documents as the plug-in sees them through the host functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "binding/host_abi.h"
#include "host/standin.h"
#include "host/workspace.h"

using ondrift::standin::FmrSpec;
using ondrift::standin::Matrix4;
using ondrift::standin::VmrSpec;
using ondrift::standin::Workspace;

namespace {

class HostWorkspace : public ::testing::Test {
protected:
    void SetUp() override {
        ondrift::standin::clearAll();
        ws().quiet = true;
    }
    void TearDown() override { ondrift::standin::clearAll(); }
    static Workspace& ws() { return ondrift::standin::workspace(); }

    static ScannerPositionHeader somePosition(float base) {
        ScannerPositionHeader p{};
        p.PosInfosVerified = 1;
        p.Slice1CenterX = base;
        p.SliceNCenterZ = base + 10.0f;
        p.NRows = 64;
        p.GapThickness = 0.5f;
        return p;
    }
};

TEST_F(HostWorkspace, EmptyWorkspaceHasNothingCurrent) {
    EXPECT_EQ(vxGetNumberOfDocsInWorkspace(), 0);
    EXPECT_EQ(vxGetDocumentType(0), 0);
    EXPECT_EQ(vxGetIDOfCurrentDocument(), -1);
    FMRHeader h{};
    EXPECT_EQ(vxGetHeaderOfCurrentFMR(&h), 0);
    EXPECT_EQ(vxSetHeaderOfCurrentFMR(&h), 0);
    EXPECT_EQ(vxGetSTCIntDataOfCurrentFMR(), nullptr);
    EXPECT_EQ(vxGetSTCFloatDataOfCurrentFMR(), nullptr);
    int x = 7, y = 7, z = 7;
    EXPECT_EQ(vxGetCurrentVMR(&x, &y, &z), nullptr);
    EXPECT_EQ(x, 7);
    VMRMainHeader vh{};
    EXPECT_EQ(vxGetMainHeaderOfCurrentVMR(&vh), 0);
    ScannerPositionHeader p{};
    EXPECT_EQ(vxGetScannerPositionHeaderOfCurrentFMR(&p), 0);
    EXPECT_EQ(vxGetScannerPositionHeaderOfCurrentVMR(&p), 0);
    EXPECT_EQ(vxSaveFMRAndSTC("out.fmr", "out"), 0);
    ASSERT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(ws().saves()[0].documentIndex, -1);
    EXPECT_EQ(ws().saves()[0].result, 0);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "out.fmr");
    // Null records are tolerated.
    EXPECT_EQ(vxGetHeaderOfCurrentFMR(nullptr), 0);
    EXPECT_EQ(vxGetPastTransformationsHeaderOfCurrentVMR(nullptr), 0);
}

TEST_F(HostWorkspace, TypesIdsAndCurrentDocument) {
    EXPECT_EQ(ws().addFmr("a.fmr", 2, 2, 1, 1, kFmrInt16), 0);
    EXPECT_EQ(ws().addOther(kDocDMR, "b.dmr"), 1);
    EXPECT_EQ(ws().addVmr({.name = "c.vmr", .dimX = 2, .dimY = 2, .dimZ = 2}), 2);
    EXPECT_EQ(vxGetNumberOfDocsInWorkspace(), 3);
    EXPECT_EQ(vxGetDocumentType(0), kDocFMR);
    EXPECT_EQ(vxGetDocumentType(1), kDocDMR);
    EXPECT_EQ(vxGetDocumentType(2), kDocVMR);
    EXPECT_EQ(vxGetDocumentType(3), 0);
    EXPECT_EQ(vxGetDocumentType(-1), 0);
    EXPECT_EQ(ws().name(1), "b.dmr");

    vxSetAsCurrentDocument(2);
    EXPECT_EQ(vxGetIDOfCurrentDocument(), 2);
    FMRHeader h{};
    EXPECT_EQ(vxGetHeaderOfCurrentFMR(&h), 0);  // a VMR is current, not an FMR
    EXPECT_NE(vxGetCurrentVMR(nullptr, nullptr, nullptr), nullptr);

    vxSetAsCurrentDocument(1);  // a DMR: neither getter family answers
    EXPECT_EQ(vxGetIDOfCurrentDocument(), 1);
    EXPECT_EQ(vxGetHeaderOfCurrentFMR(&h), 0);
    EXPECT_EQ(vxGetCurrentVMR(nullptr, nullptr, nullptr), nullptr);

    vxSetAsCurrentDocument(0);
    EXPECT_EQ(vxGetHeaderOfCurrentFMR(&h), 1);
    for (int bad : {3, -1, 1000}) {
        vxSetAsCurrentDocument(0);
        vxSetAsCurrentDocument(bad);
        EXPECT_EQ(vxGetIDOfCurrentDocument(), -1) << bad;
        EXPECT_EQ(vxGetHeaderOfCurrentFMR(&h), 0) << bad;
        EXPECT_EQ(vxGetSTCIntDataOfCurrentFMR(), nullptr) << bad;
    }
}

TEST_F(HostWorkspace, FmrHeaderAndPosition) {
    const int id = ws().addFmr({.name = "run1.fmr",
                                .columns = 4,
                                .rows = 3,
                                .slices = 2,
                                .volumes = 5,
                                .dataType = kFmrFloat32,
                                .voxelSizeX = 2.0f,
                                .voxelSizeY = 2.5f,
                                .voxelSizeZ = 3.0f,
                                .position = somePosition(1.0f),
                                .amrFileName = "run1.amr"});
    vxSetAsCurrentDocument(id);
    FMRHeader h{};
    ASSERT_EQ(vxGetHeaderOfCurrentFMR(&h), 1);
    EXPECT_STREQ(h.projectFileName, "run1.fmr");
    EXPECT_EQ(h.columns, 4);
    EXPECT_EQ(h.rows, 3);
    EXPECT_EQ(h.slices, 2);
    EXPECT_EQ(h.nrOfVolumes, 5);
    EXPECT_EQ(h.dataType, kFmrFloat32);
    EXPECT_EQ(h.voxelSizeY, 2.5f);
    EXPECT_STREQ(h.amrFileName, "run1.amr");
    ScannerPositionHeader p{};
    ASSERT_EQ(vxGetScannerPositionHeaderOfCurrentFMR(&p), 1);
    EXPECT_EQ(std::memcmp(&p, &ws().fmr(id).position, sizeof p), 0);
    EXPECT_EQ(p.SliceNCenterZ, 11.0f);

    // Same geometry: accepted, every byte kept (also the host's own ones).
    h.amrFileName[0] = '\0';
    h.voxelSizeZ = 4.0f;
    h.hostOwned2[100] = 0x5a;
    ASSERT_EQ(vxSetHeaderOfCurrentFMR(&h), 1);
    const FMRHeader stored = ws().fmrHeader(id);
    EXPECT_EQ(std::memcmp(&stored, &h, sizeof h), 0);

    // Other dimensions, volumes or data type would not fit the data: refused, nothing changed.
    for (int field = 0; field < 5; ++field) {
        FMRHeader changed = h;
        changed.voxelSizeX = 9.0f;
        if (field == 0) changed.columns = 8;
        if (field == 1) changed.rows = 1;
        if (field == 2) changed.slices = 0;
        if (field == 3) changed.nrOfVolumes = 6;
        if (field == 4) changed.dataType = kFmrInt16;
        EXPECT_EQ(vxSetHeaderOfCurrentFMR(&changed), 0) << field;
        EXPECT_EQ(ws().fmrHeader(id).voxelSizeX, 2.0f) << field;
    }
    EXPECT_EQ(ws().errors().size(), 5u);
}

TEST_F(HostWorkspace, StcDataIsWritableAndStable) {
    std::vector<double> values(2 * 3 * 1 * 2);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i) - 3.0;
    const int id = ws().addFmr("int.fmr", 2, 3, 1, 2, kFmrInt16, values);
    vxSetAsCurrentDocument(id);
    EXPECT_EQ(vxGetSTCFloatDataOfCurrentFMR(), nullptr);
    short** data = vxGetSTCIntDataOfCurrentFMR();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0][0], -3);
    EXPECT_EQ(data[1][5], 8);
    EXPECT_EQ(data[2], nullptr);

    // Pointers handed out stay valid while more documents open.
    for (int i = 0; i < 20; ++i) ws().addFmr("more.fmr", 8, 8, 8, 2, kFmrInt16);
    vxSetAsCurrentDocument(id);
    EXPECT_EQ(vxGetSTCIntDataOfCurrentFMR(), data);
    data[1][5] = -1234;
    data[0][1] = 7;
    EXPECT_EQ(ws().fmrValues(id, 1)[5], -1234.0);
    EXPECT_EQ(ws().fmrValues(id)[1], 7.0);

    const int f = ws().addFmr("float.fmr", 2, 2, 2, 1, kFmrFloat32, std::vector<double>(8, 0.25));
    vxSetAsCurrentDocument(f);
    EXPECT_EQ(vxGetSTCIntDataOfCurrentFMR(), nullptr);
    float** fd = vxGetSTCFloatDataOfCurrentFMR();
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd[0][7], 0.25f);
    fd[0][7] = 1e6f;
    EXPECT_EQ(ws().fmrValues(f).back(), 1e6);

    // A data type the host does not know gives no data at all.
    const int odd = ws().addFmr("odd.fmr", 2, 2, 1, 1, 3);
    vxSetAsCurrentDocument(odd);
    FMRHeader h{};
    EXPECT_EQ(vxGetHeaderOfCurrentFMR(&h), 1);
    EXPECT_EQ(h.dataType, 3);
    EXPECT_EQ(vxGetSTCIntDataOfCurrentFMR(), nullptr);
    EXPECT_EQ(vxGetSTCFloatDataOfCurrentFMR(), nullptr);
}

TEST_F(HostWorkspace, DocumentConstructionChecksItsInput) {
    // 16-bit values round and clamp; NaN becomes 0.
    const int id =
        ws().addFmr("c.fmr", 5, 1, 1, 1, kFmrInt16, {1.6, -1.6, 40000.0, -40000.0, std::nan("")});
    EXPECT_EQ(ws().fmrValues(id), (std::vector<double>{2, -2, 32767, -32768, 0}));
    // Zero volumes: a header without time points and no data arrays to index.
    const int empty = ws().addFmr("e.fmr", 2, 2, 2, 0, kFmrInt16);
    vxSetAsCurrentDocument(empty);
    short** data = vxGetSTCIntDataOfCurrentFMR();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], nullptr);

    EXPECT_THROW(ws().addFmr("x.fmr", 2, 2, 1, 1, kFmrInt16, {1.0, 2.0}), std::invalid_argument);
    EXPECT_THROW(ws().addFmr("x.fmr", 0, 2, 1, 1, kFmrInt16), std::invalid_argument);
    EXPECT_THROW(ws().addFmr("x.fmr", 2, -2, 1, 1, kFmrInt16), std::invalid_argument);
    EXPECT_THROW(ws().addFmr("x.fmr", 2, 2, 1, -1, kFmrInt16), std::invalid_argument);
    EXPECT_THROW(ws().addFmr("x.fmr", 65536, 65536, 1, 1, kFmrInt16), std::invalid_argument);
    EXPECT_THROW(ws().addFmr("x.fmr", 1024, 1024, 1024, 4, kFmrInt16), std::invalid_argument);
    EXPECT_THROW(ws().addVmr({.dimX = 2, .dimY = 0, .dimZ = 2}), std::invalid_argument);
    EXPECT_THROW(ws().addVmr({.dimX = 2, .dimY = 2, .dimZ = 2, .voxels = {1, 2}}),
                 std::invalid_argument);
    EXPECT_THROW(ws().fmr(100), std::out_of_range);
    EXPECT_THROW(ws().vmr(id), std::out_of_range);
    EXPECT_EQ(ws().size(), 2);

    // Names are cut to their fields.
    const int longName = ws().addFmr({.name = std::string(400, 'n')});
    EXPECT_EQ(ws().name(longName).size(), 303u);
}

TEST_F(HostWorkspace, VmrDocument) {
    std::vector<std::uint8_t> voxels(3 * 2 * 2);
    for (std::size_t i = 0; i < voxels.size(); ++i) voxels[i] = static_cast<std::uint8_t>(i * 20);
    const Matrix4 shift{1, 0, 0, 5, 0, 1, 0, -2, 0, 0, 1, 0.5f, 0, 0, 0, 1};
    const Matrix4 scale{2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1};
    const int fmr = ws().addFmr("f.fmr", 1, 1, 1, 1, kFmrInt16);
    const int id = ws().addVmr({.name = "anat.vmr",
                                .dimX = 3,
                                .dimY = 2,
                                .dimZ = 2,
                                .voxelSizeX = 1.0f,
                                .voxelSizeY = 1.0f,
                                .voxelSizeZ = 1.2f,
                                .voxels = voxels,
                                .position = somePosition(-4.0f),
                                .pastTransformations = {shift, scale}});
    vxSetAsCurrentDocument(id);
    int x = 0, y = 0, z = 0;
    unsigned char* data = vxGetCurrentVMR(&x, &y, &z);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(z, 2);
    EXPECT_EQ(data[11], 220);
    VMRMainHeader h{};
    ASSERT_EQ(vxGetMainHeaderOfCurrentVMR(&h), 1);
    EXPECT_STREQ(h.fileName, "anat.vmr");
    EXPECT_EQ(h.dimX, 3);
    EXPECT_EQ(h.voxelSizeZ, 1.2f);
    ScannerPositionHeader p{};
    ASSERT_EQ(vxGetScannerPositionHeaderOfCurrentVMR(&p), 1);
    EXPECT_EQ(p.Slice1CenterX, -4.0f);
    EXPECT_EQ(vxGetScannerPositionHeaderOfCurrentFMR(&p), 0);

    PastTransformationsHeader t{};
    EXPECT_EQ(vxGetPastTransformationsHeaderOfCurrentVMR(&t), 2);
    EXPECT_EQ(ondrift::standin::pastTransformation(t, 0), shift);
    EXPECT_EQ(ondrift::standin::pastTransformation(t, 1), scale);
    EXPECT_EQ(ondrift::standin::pastTransformations(t).size(), 2u);

    // No VMR current: count 0 and the record filled with an empty list.
    vxSetAsCurrentDocument(fmr);
    std::memset(&t, 0xff, sizeof t);
    EXPECT_EQ(vxGetPastTransformationsHeaderOfCurrentVMR(&t), 0);
    EXPECT_EQ(ondrift::standin::pastTransformationCount(t), 0);
    EXPECT_EQ(vxGetMainHeaderOfCurrentVMR(&h), 0);
}

TEST_F(HostWorkspace, PastTransformationRecordIsBounded) {
    PastTransformationsHeader t{};
    std::vector<Matrix4> many(ondrift::standin::kMaxPastTransformations);
    EXPECT_TRUE(ondrift::standin::makePastTransformations(many, t));
    EXPECT_EQ(ondrift::standin::pastTransformationCount(t), 157);
    many.emplace_back();
    EXPECT_FALSE(ondrift::standin::makePastTransformations(many, t));
    EXPECT_EQ(ondrift::standin::pastTransformationCount(t), 0);
    // A record from outside with an absurd count reads as empty, never past its end.
    const std::int32_t absurd = 100000;
    std::memcpy(t.bytes, &absurd, sizeof absurd);
    EXPECT_EQ(ondrift::standin::pastTransformationCount(t), 0);
    EXPECT_EQ(ondrift::standin::pastTransformation(t, 200)[0], 1.0f);
}

}  // namespace
