// Compressed output written as independent gzip members on several threads: what other
// readers (zlib, Python's gzip module) and our own reader make of it, and how reading copes
// with streams that are not ours or not whole.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "cli/base/errors.h"
#include "cli/nifti/gzip_members.h"
#include "cli/nifti/gzip_stream.h"
#include "cli/nifti/nifti_file.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::ScratchFolder;

namespace {

using Bytes = std::vector<unsigned char>;

/// Bytes that compress a little, like measured data: smooth values with noise in the low bits.
Bytes sampleStream(std::size_t n) {
    std::mt19937 random(7);
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<unsigned char>((i / 97) % 251 + (random() & 3));
    }
    return b;
}

Bytes writeMembers(const Bytes& stream, const GzipSettings& settings, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    writeGzipMembers(
        f, stream.size(),
        [&](std::uint64_t offset, std::span<unsigned char> out) {
            std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(offset), out.size(),
                        out.begin());
        },
        settings);
    std::fclose(f);
    Bytes file;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    unsigned char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        file.insert(file.end(), buffer, buffer + got);
    std::fclose(in);
    return file;
}

Bytes readWithZlib(const std::string& path, std::size_t expected) {
    gzFile f = gzopen(path.c_str(), "rb");
    Bytes out(expected + 16);
    const int got = gzread(f, out.data(), static_cast<unsigned>(out.size()));
    gzclose(f);
    out.resize(static_cast<std::size_t>(std::max(got, 0)));
    return out;
}

}  // namespace

TEST(GzipMembers, EveryReaderGetsTheStreamBackWhateverTheThreadsAndMemberSizes) {
    ScratchFolder scratch("gzip-members");
    const Bytes stream = sampleStream(300001);
    Bytes first;
    for (unsigned threads : {1u, 2u, 5u}) {
        GzipSettings s;
        s.threads = threads;
        s.memberBytes = 65537;  // members end inside the stream at odd places
        const std::string path = scratch / ("t" + std::to_string(threads) + ".gz");
        const Bytes file = writeMembers(stream, s, path);
        // The members are compressed independently: the file does not depend on the threads.
        if (first.empty()) first = file;
        EXPECT_EQ(file, first) << threads << " threads";
        EXPECT_EQ(readWithZlib(path, stream.size()), stream);
        Bytes back(stream.size());
        EXPECT_EQ(inflateGzipMembers(file, back), "");
        EXPECT_EQ(back, stream);
    }
    // An empty stream is still a valid gzip file.
    const Bytes empty = writeMembers({}, {}, scratch / "empty.gz");
    Bytes none;
    EXPECT_EQ(inflateGzipMembers(empty, none), "");
    EXPECT_EQ(readWithZlib(scratch / "empty.gz", 0).size(), 0u);
}

TEST(GzipMembers, ReadingTakesForeignFilesAndReportsDamage) {
    ScratchFolder scratch("gzip-damage");
    const Bytes stream = sampleStream(100000);
    // One member written by zlib, as most tools write.
    const std::string foreign = scratch / "zlib.gz";
    gzFile z = gzopen(foreign.c_str(), "wb6");
    gzwrite(z, stream.data(), static_cast<unsigned>(stream.size()));
    gzclose(z);
    std::FILE* f = std::fopen(foreign.c_str(), "rb");
    Bytes file(200000);
    file.resize(std::fread(file.data(), 1, file.size(), f));
    std::fclose(f);
    Bytes back(stream.size());
    EXPECT_EQ(inflateGzipMembers(file, back), "");
    EXPECT_EQ(back, stream);

    Bytes tooSmall(stream.size() - 1);
    EXPECT_NE(inflateGzipMembers(file, tooSmall), "");
    Bytes tooLarge(stream.size() + 1);
    EXPECT_NE(inflateGzipMembers(file, tooLarge).find("truncated"), std::string::npos);
    const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 2));
    EXPECT_NE(inflateGzipMembers(cut, back), "");
    Bytes flipped = file;
    flipped[flipped.size() / 2] ^= 0x55;
    EXPECT_NE(inflateGzipMembers(flipped, back), "");
    const Bytes text = {'n', 'o', 't', ' ', 'g', 'z', 'i', 'p'};
    EXPECT_EQ(inflateGzipMembers(text, back), "not a valid gzip stream");
}

TEST(GzipMembers, AStreamWrittenAndReadInStretchesIsTheWholeStream) {
    ScratchFolder scratch("gzip-stream");
    const Bytes stream = sampleStream(400003);
    // Our members in stretches of several calls, each compressed while the caller works...
    const std::string path = scratch / "s.gz";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    {
        GzipSettings s;
        s.threads = 3;
        s.memberBytes = 40000;
        GzipMemberWriter writer(f, s);
        int calls = 0;
        int writes = 0;
        for (std::size_t first = 0, n = 7; first < 250000; first += n, n = n * 13 + 5, ++writes) {
            const std::size_t count = std::min(n, std::size_t{250000} - first);
            writer.write({stream.data() + first, count}, [&calls] { ++calls; });
        }
        EXPECT_EQ(calls, writes);
        EXPECT_GT(writes, 4);
    }
    // ...then one zlib member longer than the reader's buffer, and padding.
    std::fclose(f);
    gzFile z = gzopen(path.c_str(), "ab6");
    gzwrite(z, stream.data() + 250000, static_cast<unsigned>(stream.size() - 250000));
    gzclose(z);
    f = std::fopen(path.c_str(), "ab");
    std::fwrite("\0\0\0\0", 1, 4, f);
    std::fclose(f);
    EXPECT_EQ(readWithZlib(path, stream.size()), stream);

    GzipStreamReader reader(path, 40000);
    ASSERT_TRUE(reader.valid());
    Bytes back(stream.size() + 10);
    std::size_t done = 0;
    for (std::size_t n = 1; done < back.size(); n = n * 3 + 1) {
        const std::size_t want = std::min(n, back.size() - done);
        const std::size_t got = reader.read({back.data() + done, want});
        done += got;
        if (got < want) break;
    }
    EXPECT_EQ(done, stream.size());
    back.resize(done);
    EXPECT_EQ(back, stream);

    // A file cut inside either kind of member is refused, not read short; text is no gzip.
    const Bytes file = [&] {
        Bytes b(1 << 20);
        std::FILE* in = std::fopen(path.c_str(), "rb");
        b.resize(std::fread(b.data(), 1, b.size(), in));
        std::fclose(in);
        return b;
    }();
    for (const std::size_t keep : {std::size_t{1000}, file.size() - 100}) {
        const std::string cut = scratch / "cut.gz";
        std::FILE* out = std::fopen(cut.c_str(), "wb");
        std::fwrite(file.data(), 1, keep, out);
        std::fclose(out);
        GzipStreamReader r(cut, 40000);
        Bytes all(stream.size());
        EXPECT_THROW(r.read(all), std::runtime_error) << keep;
    }
    const std::string text = scratch / "text.gz";
    std::FILE* t = std::fopen(text.c_str(), "wb");
    std::fputs("not gzip", t);
    std::fclose(t);
    EXPECT_FALSE(GzipStreamReader(text).valid());
}

TEST(CompressedNifti, ValuesAndTypesSurviveMembersThatSplitTheHeaderAndValues) {
    ScratchFolder scratch("gzip-nifti");
    Affine affine{};
    affine = {2, 0, 0, -30, 0, 2.5, 0, -40, 0, 0, 3, -20, 0, 0, 0, 1};
    const NiftiGeometry g = makeGeometry({17, 13, 5, 3}, affine, 2.0f);
    std::vector<float> values(g.voxelsPerVolume() * 3);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)) * 1000.0 - 3.25);
    }
    GzipSettings odd;
    odd.memberBytes = 1001;  // inside the 352-byte header's member, then across values
    odd.threads = 3;
    const std::string floats = scratch / "f.nii.gz";
    writeNifti(floats, g, 3, values, nullptr, {}, odd);
    const NiftiImage f = readNifti(floats, {}, nullptr);
    EXPECT_EQ(f.data, values);
    EXPECT_TRUE(f.geometry.sameGrid(g, 1e-5));
    EXPECT_FLOAT_EQ(f.geometry.repetitionTime(), 2.0f);

    const std::string ints = scratch / "i.nii.gz";
    writeNifti(ints, g, 3, values, nullptr, StoredType{4, 0.5, -1.0}, odd);  // int16
    const NiftiImage i = readNifti(ints, {}, nullptr);
    EXPECT_EQ(i.dataTypeName, "INT16");
    for (std::size_t k = 0; k < values.size(); ++k) {
        ASSERT_NEAR(i.data[k], values[k], 0.25 + 1e-4) << k;
    }
    // The same image uncompressed holds the same values.
    const std::string plain = scratch / "f.nii";
    writeNifti(plain, g, 3, values, nullptr);
    EXPECT_EQ(readNifti(plain, {}, nullptr).data, values);
}

TEST(CompressedNifti, PythonsNiftiReaderTakesTheMembers) {
    // The Debian package serves the system's interpreter, which another one may shadow.
    std::string python;
    for (const char* candidate : {"python3", "/usr/bin/python3"}) {
        const std::string probe = std::string(candidate) + " -c 'import nibabel' >/dev/null 2>&1";
        if (python.empty() && std::system(probe.c_str()) == 0) python = candidate;
    }
    if (python.empty()) GTEST_SKIP() << "nibabel is not installed";
    ScratchFolder scratch("gzip-nibabel");
    const NiftiGeometry g =
        makeGeometry({40, 30, 20, 6}, {1.5, 0, 0, 0, 0, 1.5, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1});
    std::vector<float> values(g.voxelsPerVolume() * 6);
    std::iota(values.begin(), values.end(), -1000.0f);
    GzipSettings small;
    small.memberBytes = 50000;
    writeNifti(scratch / "v.nii.gz", g, 6, values, nullptr, {}, small);
    const std::string script =
        "import nibabel, numpy; d = nibabel.load('" + (scratch / "v.nii.gz") +
        "').get_fdata(dtype=numpy.float32); "
        "f = numpy.arange(-1000, -1000 + d.size, dtype=numpy.float32).reshape(d.shape, order='F'); "
        "exit(0 if d.shape == (40, 30, 20, 6) and (d == f).all() else 1)";
    EXPECT_EQ(std::system((python + " -c \"" + script + "\"").c_str()), 0);
}

TEST(CompressedNifti, FilesOfOtherToolsReadAsTheUncompressedImage) {
    ScratchFolder scratch("gzip-foreign");
    const NiftiGeometry g =
        makeGeometry({64, 48, 20, 9}, {3, 0, 0, 0, 0, 3, 0, 0, 0, 0, 3.5, 0, 0, 0, 0, 1});
    std::vector<float> values(g.voxelsPerVolume() * 9);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>((i * 7919) % 4001) * 0.5f - 700.0f;
    }
    const std::string plain = scratch / "i.nii";
    writeNifti(plain, g, 9, values, nullptr, StoredType{4, 0.5, -0.25});  // int16, scaled
    const NiftiImage reference = readNifti(plain, {}, nullptr);
    // One gzip member from zlib, as most tools write; then the same with bytes after it.
    std::FILE* in = std::fopen(plain.c_str(), "rb");
    Bytes raw(std::size_t{8} << 20);
    raw.resize(std::fread(raw.data(), 1, raw.size(), in));
    std::fclose(in);
    const std::string single = scratch / "single.nii.gz";
    gzFile z = gzopen(single.c_str(), "wb6");
    gzwrite(z, raw.data(), static_cast<unsigned>(raw.size()));
    gzclose(z);
    const NiftiImage fromSingle = readNifti(single, {}, nullptr);
    EXPECT_EQ(fromSingle.data, reference.data);
    EXPECT_EQ(fromSingle.dataTypeName, "INT16");
    {
        std::FILE* f = std::fopen(single.c_str(), "ab");
        std::fputs("trailing bytes", f);
        std::fclose(f);
    }
    EXPECT_EQ(readNifti(single, {}, nullptr).data, reference.data);
    // A stream cut short is still refused with the reader's own words.
    const std::string cut = scratch / "cut.nii.gz";
    gzFile c = gzopen(cut.c_str(), "wb6");
    gzwrite(c, raw.data(), static_cast<unsigned>(raw.size() / 2));
    gzclose(c);
    try {
        readNifti(cut, {}, nullptr);
        ADD_FAILURE() << "a truncated stream was read";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
    }
}
