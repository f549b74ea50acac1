// The stand-in host's project files: saving the current FMR, opening projects, damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "binding/host_abi.h"
#include "host/project_files.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace fs = std::filesystem;
using ondrift::standin::FmrSpec;
using ondrift::standin::Matrix4;
using ondrift::standin::Workspace;

namespace {

class ProjectFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ondrift::standin::clearAll();
        ws().quiet = true;
        std::random_device rd;
        dir = fs::temp_directory_path() / ("ondrift-project-files-" + std::to_string(rd()));
        fs::create_directories(dir);
        ws().outputDirectory = dir;
    }
    void TearDown() override {
        ondrift::standin::clearAll();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    static Workspace& ws() { return ondrift::standin::workspace(); }

    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void write(const fs::path& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            names.insert(fs::relative(e.path(), dir).string());
        }
        return names;
    }
    /// A 3 x 2 x 2, 2-volume document with distinct values, made current.
    int makeCurrent(int dataType) {
        std::vector<double> values(3 * 2 * 2 * 2);
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i] = dataType == kFmrInt16 ? static_cast<double>(i) * 1000.0 - 9000.0
                                              : static_cast<double>(i) * 0.1f - 1.0e6;
        }
        ScannerPositionHeader p{};
        p.PosInfosVerified = 1;
        p.Slice1CenterY = -12.25f;
        p.NCols = 64;
        p.FoVRows = 224.0f;
        p.GapThickness = 0.1f;
        const int id = ws().addFmr({.name = "in.fmr",
                                    .columns = 3,
                                    .rows = 2,
                                    .slices = 2,
                                    .volumes = 2,
                                    .dataType = dataType,
                                    .voxelSizeX = 3.5f,
                                    .voxelSizeY = 3.25f,
                                    .voxelSizeZ = 0.1f,
                                    .values = values,
                                    .position = p,
                                    .amrFileName = "in.amr"});
        vxSetAsCurrentDocument(id);
        return id;
    }

    fs::path dir;
};

TEST_F(ProjectFiles, SaveAndReopenBothDataTypes) {
    for (int type : {kFmrInt16, kFmrFloat32}) {
        SCOPED_TRACE(type);
        const int id = makeCurrent(type);
        const std::string name = type == kFmrInt16 ? "int_b0.fmr" : "float_b0.fmr";
        ASSERT_EQ(vxSaveFMRAndSTC(name.c_str(), fs::path(name).stem().string().c_str()), 1);
        const fs::path fmrPath = dir / name;
        const fs::path stcPath = dir / fs::path(name).replace_extension(".stc");
        ASSERT_TRUE(fs::exists(fmrPath));
        ASSERT_EQ(fs::file_size(stcPath), 24u * (type == kFmrInt16 ? 2 : 4));
        EXPECT_NE(read(fmrPath).find("STCFile: " + stcPath.filename().string() + "\n"),
                  std::string::npos);
        if (type == kFmrInt16) {
            // Raw little-endian values: the first is -9000 = 0xDCD8.
            const std::string raw = read(stcPath);
            EXPECT_EQ(static_cast<unsigned char>(raw[0]), 0xD8);
            EXPECT_EQ(static_cast<unsigned char>(raw[1]), 0xDC);
        }

        const auto opened = ondrift::standin::openFmrProject(ws(), fmrPath);
        ASSERT_TRUE(opened) << opened.error;
        const auto& a = ws().fmr(id);
        const auto& b = ws().fmr(opened.index);
        EXPECT_EQ(b.values(), a.values());
        EXPECT_EQ(b.dataType(), type);
        EXPECT_EQ(b.header.columns, 3);
        EXPECT_EQ(b.header.rows, 2);
        EXPECT_EQ(b.header.slices, 2);
        EXPECT_EQ(b.header.nrOfVolumes, 2);
        EXPECT_EQ(b.header.voxelSizeY, 3.25f);
        EXPECT_EQ(b.header.voxelSizeZ, 0.1f);
        EXPECT_STREQ(b.header.amrFileName, "in.amr");
        EXPECT_EQ(ws().name(opened.index), fmrPath.string());
        EXPECT_EQ(std::memcmp(&b.position, &a.position, sizeof a.position), 0);
    }
}

TEST_F(ProjectFiles, SaveNamesFollowThePluginsRules) {
    fs::create_directories(dir / "sub");
    makeCurrent(kFmrInt16);
    // 16-bit data: the STC name is the project name without extension, directory included.
    ASSERT_EQ(vxSaveFMRAndSTC("sub/p_b0.fmr", "sub/p_b0"), 1);
    EXPECT_TRUE(fs::exists(dir / "sub/p_b0.fmr"));
    EXPECT_TRUE(fs::exists(dir / "sub/p_b0.stc"));
    // Float data: the bare name; the data still goes beside the project.
    const fs::path absolute = dir / "sub" / "q_b0.fmr";
    ASSERT_EQ(vxSaveFMRAndSTC(absolute.string().c_str(), "q_b0"), 1);
    EXPECT_TRUE(fs::exists(dir / "sub/q_b0.stc"));
    // Backslash directories and an empty data name.
    ASSERT_EQ(vxSaveFMRAndSTC("r.fmr", "C:\\data\\r_data"), 1);
    EXPECT_TRUE(fs::exists(dir / "r_data.stc"));
    ASSERT_EQ(vxSaveFMRAndSTC("s.fmr", ""), 1);
    EXPECT_TRUE(fs::exists(dir / "s.stc"));
    EXPECT_EQ(ws().saves()[0].fmrPath, dir / "sub/p_b0.fmr");
    EXPECT_EQ(ws().saves()[0].stcPath, dir / "sub/p_b0.stc");
    // Project and data as one file, or no name: refused.
    EXPECT_EQ(vxSaveFMRAndSTC("t.stc", "t"), 0);
    EXPECT_EQ(vxSaveFMRAndSTC("", "t"), 0);
    EXPECT_EQ(vxSaveFMRAndSTC(nullptr, nullptr), 0);
    EXPECT_FALSE(fs::exists(dir / "t.stc"));
}

TEST_F(ProjectFiles, SaveRecordsTheDocumentAtTheMomentOfTheCall) {
    const int id = makeCurrent(kFmrInt16);
    FMRHeader h = ws().fmrHeader(id);
    h.amrFileName[0] = '\0';
    ASSERT_EQ(vxSetHeaderOfCurrentFMR(&h), 1);
    short** data = vxGetSTCIntDataOfCurrentFMR();
    data[1][0] = 42;
    ASSERT_EQ(vxSaveFMRAndSTC("first.fmr", "first"), 1);
    data[1][0] = -42;  // changed after the save: the record keeps what was saved
    ASSERT_EQ(vxSaveFMRAndSTC("second.fmr", "second"), 1);

    ASSERT_EQ(ws().saves().size(), 2u);
    const auto& first = ws().saves()[0];
    EXPECT_EQ(first.fmrFileName, "first.fmr");
    EXPECT_EQ(first.stcName, "first");
    EXPECT_EQ(first.documentIndex, id);
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(first.amrFileName(), "");
    EXPECT_EQ(first.headerFileName(), "in.fmr");  // the document keeps its own name
    EXPECT_EQ(first.volumes, 2);
    EXPECT_EQ(first.volumeValues(1)[0], 42.0);
    EXPECT_EQ(ws().saves()[1].volumeValues(1)[0], -42.0);
    EXPECT_EQ(first.values().size(), 24u);
    EXPECT_EQ(ws().name(id), "in.fmr");

    // The saved file holds the values of its moment, too.
    const auto reopened = ondrift::standin::openFmrProject(ws(), dir / "first.fmr");
    ASSERT_TRUE(reopened) << reopened.error;
    EXPECT_EQ(ws().fmrValues(reopened.index, 1)[0], 42.0);
    EXPECT_STREQ(ws().fmrHeader(reopened.index).amrFileName, "");
}

TEST_F(ProjectFiles, InputsAreNeverOverwritten) {
    makeCurrent(kFmrFloat32);
    ASSERT_EQ(vxSaveFMRAndSTC("input.fmr", "input"), 1);
    const auto input = ondrift::standin::openFmrProject(ws(), dir / "input.fmr");
    ASSERT_TRUE(input) << input.error;
    const std::string fmrBefore = read(dir / "input.fmr");
    const std::string stcBefore = read(dir / "input.stc");
    vxSetAsCurrentDocument(input.index);
    vxGetSTCFloatDataOfCurrentFMR()[0][0] = 123.0f;
    const std::size_t errorsBefore = ws().errors().size();
    fs::create_directories(dir / "sub");

    EXPECT_EQ(vxSaveFMRAndSTC("input.fmr", "input"), 0);           // the same names
    EXPECT_EQ(vxSaveFMRAndSTC("other.fmr", "input"), 0);           // its STC file
    EXPECT_EQ(vxSaveFMRAndSTC("./sub/../input.fmr", "fresh"), 0);  // another spelling
    EXPECT_EQ(vxSaveFMRAndSTC((dir / "input.fmr").string().c_str(), "x"), 0);
    fs::create_symlink(dir / "input.fmr", dir / "link.fmr");
    EXPECT_EQ(vxSaveFMRAndSTC("link.fmr", "link"), 0);
    EXPECT_EQ(ws().errors().size(), errorsBefore + 5);
    EXPECT_NE(ws().errors().back().find("open input document"), std::string::npos);
    EXPECT_EQ(ws().saves().back().result, 0);
    EXPECT_EQ(read(dir / "input.fmr"), fmrBefore);
    EXPECT_EQ(read(dir / "input.stc"), stcBefore);
    EXPECT_FALSE(fs::exists(dir / "other.fmr"));

    // A VMR input is protected the same way; an earlier output is not an input.
    ASSERT_EQ(vxSaveFMRAndSTC("out.fmr", "out"), 1);
    ASSERT_EQ(vxSaveFMRAndSTC("out.fmr", "out"), 1);
    ondrift::standin::VmrDocument vmr(ondrift::standin::VmrSpec{.dimX = 2, .dimY = 2, .dimZ = 2});
    std::string error;
    ASSERT_TRUE(ondrift::standin::writeVmrProject(vmr, dir / "anat.vmr", error)) << error;
    ASSERT_TRUE(ondrift::standin::openVmrProject(ws(), dir / "anat.vmr"));
    vxSetAsCurrentDocument(input.index);
    EXPECT_EQ(vxSaveFMRAndSTC("anat.vmr", "anat"), 0);
    EXPECT_EQ(fs::file_size(dir / "anat.vmr"), read(dir / "anat.vmr").size());
}

TEST_F(ProjectFiles, FailedSavesLeaveNothingBehind) {
    makeCurrent(kFmrInt16);
    ASSERT_EQ(vxSaveFMRAndSTC("keep.fmr", "keep"), 1);
    const std::string keptFmr = read(dir / "keep.fmr");
    const auto before = listing();

    // The project target is a directory: found before anything is written.
    fs::create_directories(dir / "taken.fmr");
    EXPECT_EQ(vxSaveFMRAndSTC("taken.fmr", "taken"), 0);
    // A directory that does not exist.
    EXPECT_EQ(vxSaveFMRAndSTC("missing/x.fmr", "missing/x"), 0);
    // The STC target is a directory: the old project of that name stays as it was.
    fs::create_directories(dir / "keep2.stc");
    EXPECT_EQ(vxSaveFMRAndSTC("keep.fmr", "keep2"), 0);
    EXPECT_EQ(read(dir / "keep.fmr"), keptFmr);

    auto after = listing();
    after.erase("taken.fmr");
    after.erase("keep2.stc");
    EXPECT_EQ(after, before);
    for (const auto& e : ws().errors()) EXPECT_EQ(e.find('\n'), std::string::npos) << e;

    // Documents that could not be opened again are not written.
    ws().addFmr("odd.fmr", 2, 2, 1, 1, 3);
    vxSetAsCurrentDocument(ws().size() - 1);
    EXPECT_EQ(vxSaveFMRAndSTC("odd.fmr", "odd"), 0);
    ws().addFmr("none.fmr", 2, 2, 1, 0, kFmrInt16);
    vxSetAsCurrentDocument(ws().size() - 1);
    EXPECT_EQ(vxSaveFMRAndSTC("none.fmr", "none"), 0);
    EXPECT_FALSE(fs::exists(dir / "odd.fmr"));
    EXPECT_FALSE(fs::exists(dir / "none.fmr"));
}

TEST_F(ProjectFiles, VmrRoundTrip) {
    std::vector<std::uint8_t> voxels(4 * 3 * 2);
    for (std::size_t i = 0; i < voxels.size(); ++i) voxels[i] = static_cast<std::uint8_t>(i * 11);
    voxels[5] = '\n';  // bytes that look like text must not confuse the reader
    const Matrix4 m{0.5f, 0, 0, 1.25f, 0, 1, 0, -3, 0, 0, 1, 0, 0, 0, 0, 1};
    ScannerPositionHeader p{};
    p.CoordinateSystem = 2;
    p.RowDirZ = -0.7071f;
    const int id = ws().addVmr({.name = "anat.vmr",
                                .dimX = 4,
                                .dimY = 3,
                                .dimZ = 2,
                                .voxelSizeX = 0.9f,
                                .voxelSizeY = 1.0f,
                                .voxelSizeZ = 1.1f,
                                .voxels = voxels,
                                .position = p,
                                .pastTransformations = {m, m}});
    std::string error;
    ASSERT_TRUE(ondrift::standin::writeVmrProject(ws().vmr(id), dir / "a.vmr", error)) << error;
    const auto opened = ondrift::standin::openVmrProject(ws(), dir / "a.vmr");
    ASSERT_TRUE(opened) << opened.error;
    const auto& b = ws().vmr(opened.index);
    EXPECT_EQ(b.voxels(), voxels);
    EXPECT_EQ(b.header.dimX, 4);
    EXPECT_EQ(b.header.dimZ, 2);
    EXPECT_EQ(b.header.voxelSizeX, 0.9f);
    EXPECT_EQ(b.position.RowDirZ, -0.7071f);
    EXPECT_EQ(b.position.CoordinateSystem, 2);
    EXPECT_EQ(ondrift::standin::pastTransformations(b.pastTransformations),
              (std::vector<Matrix4>{m, m}));
}

// --- damaged files ---------------------------------------------------------------------------

struct Damage {
    const char* label;
    std::string header;  ///< project text after the first line
    std::size_t stcBytes;
    const char* expected;  ///< part of the error line
};

TEST_F(ProjectFiles, DamagedFmrProjectsAreRefusedWithOneClearLine) {
    const std::string good =
        "DataType: 1\nColumns: 2\nRows: 2\nSlices: 1\nVolumes: 2\nVoxelSizeX: 1\n"
        "VoxelSizeY: 1\nVoxelSizeZ: 1\nSTCFile: d.stc\n";
    auto with = [&](const std::string& key, const std::string& value,
                    std::string text = std::string()) {
        if (text.empty()) text = good;
        const auto at = text.find(key + ":");
        const auto end = text.find('\n', at);
        return text.replace(at, end - at + (value.empty() ? 1 : 0),
                            value.empty() ? std::string() : key + ": " + value);
    };
    const std::vector<Damage> cases{
        {"control", good, 16, nullptr},
        {"short STC", good, 15, "holds 15 bytes"},
        {"empty STC", good, 0, "holds 0 bytes"},
        {"long STC", good, 17, "holds 17 bytes"},
        {"zero columns", with("Columns", "0"), 0, "Columns 0 is out of range"},
        {"negative rows", with("Rows", "-4"), 16, "Rows -4 is out of range"},
        {"zero volumes", with("Volumes", "0"), 0, "Volumes 0 is out of range"},
        {"huge slices", with("Slices", "99999999999"), 16, "out of range"},
        {"overflowing product", with("Columns", "65536", with("Rows", "65536")), 16,
         "more than 2147483647 values"},
        {"overflowing volumes", with("Volumes", "2147483647"), 16, "more than 2147483647 values"},
        {"not a number", with("Rows", "2x"), 16, "Rows is not a whole number"},
        {"unknown type", with("DataType", "3"), 16, "unknown data type '3'"},
        {"type as text", with("DataType", "float"), 16, "unknown data type"},
        {"bad voxel size", with("VoxelSizeY", "wide"), 16, "VoxelSizeY is not a number"},
        {"missing field", with("Columns", ""), 16, "missing field 'Columns'"},
        {"missing STC name", with("STCFile", ""), 16, "missing field 'STCFile'"},
        {"unknown field", good + "Colour: red\n", 16, "unknown field 'Colour'"},
        {"duplicate field", good + "Rows: 2\n", 16, "field 'Rows' appears twice"},
        {"malformed line", good + "just words\n", 16, "is not 'Key: value'"},
        {"missing STC", with("STCFile", "nowhere.stc"), 16, "nowhere.stc: no such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path fmr = dir / "d.fmr";
        write(fmr, "ONDRIFT-FMR 1\n" + c.header);
        write(dir / "d.stc", std::string(c.stcBytes, '\x01'));
        const auto result = ondrift::standin::openFmrProject(ws(), fmr);
        if (c.expected == nullptr) {
            ASSERT_TRUE(result) << result.error;
            EXPECT_EQ(ws().fmrValues(result.index, 1)[3], 257.0);
            continue;
        }
        EXPECT_FALSE(result);
        EXPECT_NE(result.error.find(c.expected), std::string::npos) << result.error;
        EXPECT_NE(result.error.find("d."), std::string::npos) << result.error;
        EXPECT_EQ(result.error.find('\n'), std::string::npos) << result.error;
    }
    EXPECT_EQ(ws().size(), 1);

    // Not one of our files, a missing file, an oversized header, a directory.
    write(dir / "x.fmr", "FMR v7\nColumns: 2\n");
    EXPECT_NE(ondrift::standin::openFmrProject(ws(), dir / "x.fmr").error.find("first line"),
              std::string::npos);
    EXPECT_EQ(ondrift::standin::openFmrProject(ws(), dir / "none.fmr").error,
              (dir / "none.fmr").string() + ": no such file");
    write(dir / "big.fmr", "ONDRIFT-FMR 1\n" + std::string(70000, '#'));
    EXPECT_NE(ondrift::standin::openFmrProject(ws(), dir / "big.fmr").error.find("too large"),
              std::string::npos);
    EXPECT_NE(ondrift::standin::openFmrProject(ws(), dir).error.find("not a regular file"),
              std::string::npos);
    EXPECT_EQ(ws().size(), 1);
}

TEST_F(ProjectFiles, DamagedVmrProjectsAreRefused) {
    const std::string head =
        "ONDRIFT-VMR 1\nDimX: 2\nDimY: 2\nDimZ: 2\nVoxelSizeX: 1\n"
        "VoxelSizeY: 1\nVoxelSizeZ: 1\n";
    const std::vector<std::pair<std::string, const char*>> cases{
        {head + "Voxels:\n" + std::string(8, 'v'), nullptr},
        {head + "Voxels:\n" + std::string(7, 'v'), "holds 7 voxel bytes"},
        {head + "Voxels:\n" + std::string(9, 'v'), "holds 9 voxel bytes"},
        {head + std::string(8, 'v'), "no line 'Voxels:'"},
        {"ONDRIFT-VMR 1\nDimX: 2\nDimY: 0\nDimZ: 2\nVoxels:\n", "DimY 0 is out of range"},
        {"ONDRIFT-VMR 1\nDimX: 4096\nDimY: 4096\nDimZ: 4096\nVoxels:\n", "more than 2147483647"},
        {head + "PastTransformations: 1\nVoxels:\n" + std::string(8, 'v'),
         "missing field 'Transformation1'"},
        {head + "PastTransformations: 1\nTransformation1: 1 2 3\nVoxels:\n" + std::string(8, 'v'),
         "does not hold 16 numbers"},
        {head + "PastTransformations: 158\nVoxels:\n" + std::string(8, 'v'), "out of range"},
        {head + "Transformation1: 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\nVoxels:\n" + std::string(8, 'v'),
         "beyond PastTransformations"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.substr(0, 120));
        write(dir / "v.vmr", text);
        const auto result = ondrift::standin::openVmrProject(ws(), dir / "v.vmr");
        if (expected == nullptr) {
            ASSERT_TRUE(result) << result.error;
            EXPECT_EQ(ws().vmr(result.index).voxels()[7], 'v');
            continue;
        }
        EXPECT_FALSE(result);
        EXPECT_NE(result.error.find(expected), std::string::npos) << result.error;
        EXPECT_EQ(result.error.rfind((dir / "v.vmr").string(), 0), 0u) << result.error;
    }
    EXPECT_EQ(ws().size(), 1);
}

}  // namespace
