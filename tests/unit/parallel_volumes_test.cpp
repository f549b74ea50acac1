// Volume work shared out among threads must give the plain loop's values and logs bit for bit:
// the undistortion of a whole series, its loading as doubles and its saving into the host's
// arrays, each against the one-thread run and a straightforward loop as the reference.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "image/fmr_writer.h"
#include "image/host_documents.h"
#include "image/ordered_statistics.h"
#include "image/parallel_volumes.h"
#include "pipeline/kernels/undistortion.h"
#include "pipeline/undistortion.h"

using namespace ondrift;
namespace fs = std::filesystem;

namespace {

// Large enough that the work is shared out (more than 2^18 voxels), with an odd volume count.
constexpr int kX = 23, kY = 19, kZ = 11, kVolumes = 61;
constexpr std::size_t kPerVolume = std::size_t{kX} * kY * kZ;

class ParallelVolumes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::clearAll();
        standin::workspace().quiet = true;
        dir_ = fs::temp_directory_path() / ("ondrift_parallel_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        previous_ = fs::current_path();
        fs::current_path(dir_);
        standin::workspace().outputDirectory = dir_;
    }
    void TearDown() override {
        setVolumeThreads(0);
        fs::current_path(previous_);
        fs::remove_all(dir_);
        standin::clearAll();
    }
    static std::vector<double> noise(std::size_t n, double scale, unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> u(-scale, scale);
        std::vector<double> v(n);
        for (double& x : v) x = u(random);
        return v;
    }
    /// Runs the undistortion with the given threads on a fresh host; returns the corrected
    /// series, what the host saved and the log.
    struct Run {
        std::vector<double> values;
        std::vector<float> saved;
        std::vector<std::string> log;
    };
    static Run undistort(unsigned threads, int direction, const std::vector<double>& series,
                         const std::vector<double>& shifts) {
        standin::clearAll();
        auto& ws = standin::workspace();
        ws.quiet = true;
        ws.writeProjects = false;
        ws.setCurrent(ws.addFmr("run.fmr", kX, kY, kZ, kVolumes, kFmrFloat32));
        setVolumeThreads(threads);
        Image epi(std::vector<double>(series), kX, kY, kZ, kVolumes, 8);
        epi.setName("run.fmr");
        epi.setStatus(Valid);
        Image shift(std::vector<double>(shifts), kX, kY, kZ, 1, 8);
        shift.setStatus(Valid);
        AcquisitionParameters p;
        p.phaseEncodingDir = direction;
        std::string error;
        EXPECT_TRUE(undistortEPI(epi, shift, p, &error)) << error;
        Run r;
        r.values.assign(epi.getData(), epi.getData() + series.size());
        const auto doc = ws.fmr(0).floatValues();
        r.saved.assign(doc.begin(), doc.end());
        r.log = standin::session().log;
        return r;
    }

    fs::path dir_;
    fs::path previous_;
};

}  // namespace

TEST(VolumeRanges, EveryVolumeOnceWhateverTheWorkers) {
    for (int volumes : {1, 2, 5, 70}) {
        for (unsigned workers : {1u, 2u, 3u, 8u}) {
            std::vector<int> seen(static_cast<std::size_t>(volumes), 0);
            forEachVolumeRange(volumes, workers, [&](unsigned, int first, int end) {
                for (int v = first; v < end; ++v) ++seen[static_cast<std::size_t>(v)];
            });
            EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), volumes) << volumes << workers;
        }
    }
    EXPECT_EQ(volumeWorkers(1, kPerVolume * 100), 1u);
    EXPECT_EQ(volumeWorkers(kVolumes, 10), 1u);  // too small to be worth a thread
}

TEST(VolumeRanges, WhatAnyRangeThrowsReachesTheCallerAfterEveryRangeRan) {
    // The calling thread's own range and a worker's: either used to end the process.
    for (unsigned thrower : {0u, 2u}) {
        std::vector<int> done(9, 0);
        EXPECT_THROW(forEachVolumeRange(9, 3u,
                                        [&](unsigned w, int first, int end) {
                                            for (int v = first; v < end; ++v) done[v] = 1;
                                            if (w == thrower) throw std::bad_alloc();
                                        }),
                     std::bad_alloc);
        EXPECT_EQ(done, std::vector<int>(9, 1)) << thrower;
    }
}

TEST_F(ParallelVolumes, UndistortionEqualsThePlainLoopInEveryDirection) {
    const std::vector<double> series = noise(kPerVolume * kVolumes, 1000.0, 1);
    const std::vector<double> shifts = noise(kPerVolume, 4.0, 2);  // reaches past the edges
    for (int direction = 1; direction <= 6; ++direction) {
        const Run one = undistort(1, direction, series, shifts);
        const Run three = undistort(3, direction, series, shifts);
        // The reference: each volume through the kernel, one after the other.
        std::vector<double> expected(series.size());
        const Dims d{kX, kY, kZ};
        for (int t = 0; t < kVolumes; ++t) {
            const std::size_t start = static_cast<std::size_t>(t) * kPerVolume;
            undistortVolume(std::span<const double>(series).subspan(start, kPerVolume),
                            std::span<double>(expected).subspan(start, kPerVolume), shifts, d,
                            direction);
        }
        EXPECT_TRUE(one.values == expected) << direction;
        EXPECT_TRUE(three.values == expected) << direction;
        EXPECT_TRUE(three.saved == one.saved) << direction;
        EXPECT_EQ(three.log, one.log) << direction;
        EXPECT_EQ(static_cast<double>(three.saved.back()),
                  static_cast<double>(static_cast<float>(expected.back())));
    }
}

TEST_F(ParallelVolumes, LoadingAndSavingEqualThePlainLoop) {
    const std::vector<double> series = noise(kPerVolume * kVolumes, 30000.0, 3);
    auto& ws = standin::workspace();
    for (int type : {kFmrFloat32, kFmrInt16}) {
        std::vector<std::vector<double>> loaded;
        std::vector<std::vector<double>> saved;
        std::vector<double> reference;
        for (unsigned threads : {1u, 3u}) {
            standin::clearAll();
            ws.quiet = true;
            ws.writeProjects = false;
            const int index = ws.addFmr("in.fmr", kX, kY, kZ, kVolumes, type, series);
            ws.setCurrent(index);
            reference = ws.fmrValues(index);  // the document's values one by one
            setVolumeThreads(threads);
            FMRRecord record;
            ASSERT_TRUE(readCurrentFMR(record));
            loaded.push_back(fmrDataAsDoubles(record));
            // Loading through the dialog also sums the statistics alongside the conversion.
            standin::session().answers.push_back(standin::DialogAnswer::withNumber(index));
            Image picked;
            FMRRecord pickedRecord;
            ASSERT_TRUE(loadFMRInto("Please select the EPI file", picked, pickedRecord));
            EXPECT_EQ(standin::session().log.back(), picked.statisticsText("current FMR"));
            EXPECT_TRUE(std::equal(picked.getData(), picked.getData() + series.size(),
                                   loaded.back().begin()));
            // Saving goes through the same document: 16-bit data is rescaled first.
            Image image(std::vector<double>(series), kX, kY, kZ, kVolumes, 8);
            image.setName("in.fmr");
            ASSERT_TRUE(saveAsFMR(image, "out.fmr"));
            saved.push_back(ws.fmrValues(index));
        }
        EXPECT_TRUE(loaded[0] == loaded[1]) << type;
        EXPECT_TRUE(saved[0] == saved[1]) << type;
        EXPECT_TRUE(loaded[0] == reference) << type;
    }
}

TEST(OrderedStatisticsTest, SumsInBufferOrderWhateverOrderTheVolumesAreReady) {
    // A huge first value swallows the small ones that follow one by one, but not their sum:
    // only the summation order of a single pass gives the single pass's text.
    const int volumes = 40;
    const std::size_t perVolume = 1000;
    std::vector<double> values(perVolume * volumes, 1.0);
    values[0] = 1e17;
    values[values.size() / 2] = -5e16;
    Image image(std::vector<double>(values), 10, 10, 10, volumes, 8);
    OrderedStatistics statistics(values.data(), perVolume, volumes, false);
    std::thread marker([&] {
        for (int v = volumes - 1; v >= 0; --v) statistics.markReady(v);
    });
    marker.join();
    EXPECT_EQ(statistics.text("current FMR"), image.statisticsText("current FMR"));

    // A volume overwritten once it has been read leaves the text of the values read.
    std::vector<double> changing(values);
    OrderedStatistics before(changing.data(), perVolume, volumes, true);
    for (int v = 0; v < volumes; ++v) {
        before.waitUntilRead(v);
        std::fill_n(changing.begin() + static_cast<std::ptrdiff_t>(v * perVolume), perVolume, 7.0);
    }
    EXPECT_EQ(before.text("distorted data"), image.statisticsText("distorted data"));
    // A text never asked for: the destructor still ends the thread.
    { OrderedStatistics unused(values.data(), perVolume, volumes, false); }
}
