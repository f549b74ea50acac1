// What each reader of outside data accepts at most, refusals just over a limit (before any
// allocation of the claimed size), and inputs the fuzz targets found.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "cli/app/session_script.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::ScratchFolder;

namespace {

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void writeGzip(const std::string& path, const std::string& bytes) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())),
              static_cast<int>(bytes.size()));
    gzclose(f);
}

// A valid little image's bytes with dim[1..4] replaced (short dim[8] at byte 40).
std::string withDims(std::string bytes, std::int16_t x, std::int16_t y, std::int16_t z,
                     std::int16_t t) {
    const std::int16_t dims[5] = {4, x, y, z, t};
    std::memcpy(bytes.data() + 40, dims, sizeof dims);
    return bytes;
}

std::string smallImage(const ScratchFolder& dir) {
    Affine a{};
    a[0] = a[5] = a[10] = 2.0;
    a[15] = 1.0;
    const NiftiGeometry g = makeGeometry({4, 4, 2, 1}, a);
    std::vector<float> values(g.voxelsPerVolume(), 1.5f);
    writeNifti(dir / "small.nii", g, 1, values, nullptr);
    return readBytes(dir / "small.nii");
}

std::string refusal(const std::string& path, const ReadOptions& options = {}) {
    try {
        readNifti(path, options, nullptr);
    } catch (const InputError& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

// Found by fuzz_nifti: a compressed file of a few hundred bytes whose header claims 32767^3
// voxels made the reader allocate the whole claimed size before reading a byte.
TEST(ReaderLimits, CompressedImageClaimingMoreDataThanItCanHoldIsRefusedFirst) {
    ScratchFolder dir("limits-gz");
    const std::string bytes = smallImage(dir);
    writeGzip(dir / "claims.nii.gz", withDims(bytes, 1290, 1290, 1290, 1));
    const std::string why = refusal(dir / "claims.nii.gz");
    EXPECT_NE(why.find("cannot come from a compressed file"), std::string::npos) << why;

    // The same file uncompressed is refused by its size, as before.
    writeBytes(dir / "claims.nii", withDims(bytes, 1290, 1290, 1290, 1));
    EXPECT_NE(refusal(dir / "claims.nii").find("truncated"), std::string::npos);

    // A real compressed image, however well it compresses, still reads.
    writeGzip(dir / "real.nii.gz", bytes);
    EXPECT_EQ(readNifti(dir / "real.nii.gz", {}, nullptr).data.size(), 32u);
}

TEST(ReaderLimits, NiftiVoxelCountAtAndJustOverTheLimit) {
    ScratchFolder dir("limits-voxels");
    const std::string bytes = smallImage(dir);  // 4 x 4 x 2 = 32 voxels
    writeBytes(dir / "small.nii", bytes);
    ReadOptions atLimit;
    atLimit.maxVoxels = 32;
    EXPECT_EQ(readNifti(dir / "small.nii", atLimit, nullptr).data.size(), 32u);
    ReadOptions below = atLimit;
    below.maxVoxels = 31;
    EXPECT_NE(refusal(dir / "small.nii", below).find("too large (more than 31 voxels)"),
              std::string::npos);

    // 2048 x 1024 x 1024 = 2^31 voxels, one more than a host document can index: refused from
    // the header alone (the file is a bare header; nothing of the claimed size is allocated).
    writeBytes(dir / "over.nii", withDims(bytes, 2048, 1024, 1024, 1).substr(0, 352));
    EXPECT_NE(refusal(dir / "over.nii").find("more than 2147483647 voxels"), std::string::npos);
    EXPECT_THROW(readNiftiHeader(dir / "over.nii"), InputError);
    // 2047 x 1024 x 1024 fits the count and is refused only by the file's size.
    writeBytes(dir / "under.nii", withDims(bytes, 2047, 1024, 1024, 1).substr(0, 352));
    EXPECT_NE(refusal(dir / "under.nii").find("truncated"), std::string::npos);
    EXPECT_EQ(readNiftiHeader(dir / "under.nii").geometry.nx(), 2047);
}

TEST(ReaderLimits, SidecarSizeAndKind) {
    ScratchFolder dir("limits-sidecar");
    auto sidecarOfSize = [&](const std::string& name, std::size_t size) {
        const std::string head = "{\"EchoTime1\": 0.00492, \"Note\": \"";
        const std::string tail = "\"}";
        writeBytes(dir / name, head + std::string(size - head.size() - tail.size(), 'x') + tail);
        return dir / name;
    };
    const Sidecar atLimit = readSidecar(sidecarOfSize("at.json", kMaxSidecarBytes));
    EXPECT_EQ(atLimit.number("EchoTime1"), 0.00492);
    try {
        readSidecar(sidecarOfSize("over.json", kMaxSidecarBytes + 1));
        ADD_FAILURE() << "an oversized sidecar was read";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("too large for a sidecar"), std::string::npos);
    }
    std::filesystem::create_directory(dir / "folder.json");
    EXPECT_THROW(readSidecar(dir / "folder.json"), InputError);
}

TEST(ReaderLimits, ScriptLinesAtAndJustOverTheLimit) {
    ondrift::cli::Reporter reporter(ondrift::cli::Verbosity::Quiet);
    ScratchFolder dir("limits-script");
    auto run = [&](const std::string& script) {
        std::istringstream in(script);
        runSessionScript(in, "limits.txt", dir.path(), "no-plug-in-needed", reporter);
    };
    // Comments only: nothing loads the plug-in.
    EXPECT_NO_THROW(run("#" + std::string(kMaxScriptLineBytes - 1, 'x') + "\n# next\n"));
    try {
        run("# first\n#" + std::string(kMaxScriptLineBytes, 'x'));
        ADD_FAILURE() << "an overlong line was accepted";
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()), "limits.txt:2: line longer than 65536 characters");
    }
}
