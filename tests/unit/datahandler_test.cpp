#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "image/datahandler.h"

using ondrift::datahandler;
using ondrift::Image;

namespace {

Image imageOf(std::vector<double> values) {
    const auto n = static_cast<std::uint32_t>(values.size());
    return Image(std::move(values), n, 1, 1, 1, 8);
}

}  // namespace

TEST(Datahandler, DefaultAndOwnership) {
    Image empty;
    EXPECT_FALSE(empty.hasData());
    EXPECT_EQ(empty.getBytesPerVoxel(), 2u);
    EXPECT_NE(empty.getStatus(), ondrift::Valid);
    datahandler<std::complex<double>> complexImage;
    EXPECT_TRUE(complexImage.isPolarForm());

    Image four(std::vector<double>(2 * 2 * 2 * 4, 1.0), 2, 2, 2, 4, 8);
    EXPECT_EQ(four.getNrOfVoxels(), 32);
    four.setNrOfVolumes(1);
    EXPECT_EQ(four.getNrOfVoxels(), 8);
    EXPECT_EQ(four.bufferSize(), 32u);
}

TEST(Datahandler, StatisticsAnchorsAtZero) {
    const Image positive = imageOf({2.0, 4.0});
    EXPECT_EQ(positive.statisticsText("x"),
              "Values of x:\n\tMaximum: 4.000000\n\tMinimum: 0.000000\n\tRange: 4.000000\n\t"
              "Mean: 3.000000");
    const Image negative = imageOf({-2.0, -4.0});
    EXPECT_NE(negative.statisticsText("y").find("Maximum: 0.000000\n\tMinimum: -4.000000"),
              std::string::npos);
    EXPECT_EQ(negative.getMaximum(), 0.0f);
    Image none;
    EXPECT_NE(none.statisticsText("z").find("Mean: -nan"), std::string::npos);
    const std::string longLabel(2000, 'a');
    EXPECT_EQ(positive.statisticsText(longLabel.c_str()).size(), 511u);
}

TEST(Datahandler, MeanIsSinglePrecision) {
    const Image values = imageOf({0.1, 0.2, 0.3});
    float sum = 0.0f;
    for (double v : {0.1, 0.2, 0.3}) sum = static_cast<float>(static_cast<double>(sum) + v);
    EXPECT_EQ(values.getMean(), sum / 3.0f);
}

TEST(Datahandler, Rescaling) {
    std::vector<double> a = {-2.0, 0.0, 6.0};
    Image::rescaleToRange(a.data(), a.size(), 0.0, 255.0);
    EXPECT_DOUBLE_EQ(a[0], 0.0);
    EXPECT_DOUBLE_EQ(a[1], 63.75);
    EXPECT_DOUBLE_EQ(a[2], 255.0);
    std::vector<double> b = {2.0, 4.0};
    Image::rescaleToRange(b.data(), b.size(), 0.0, 255.0);
    EXPECT_DOUBLE_EQ(b[0], 127.5);
    EXPECT_DOUBLE_EQ(b[1], 255.0);

    const Image c = imageOf({-100.0, 20000.0});
    std::vector<double> out(2);
    ASSERT_TRUE(c.rescaleInto(out.data(), 0.0, 16384.0));
    const double factor = (16384.0 + 1e-12) / 20100.0;
    EXPECT_EQ(out[0], factor * -100.0 + (0.0 - factor * -100.0));
    EXPECT_EQ(c.getValue(std::size_t{0}), -100.0);
    Image released;
    EXPECT_FALSE(released.rescaleInto(out.data(), 0.0, 1.0));
}

TEST(Datahandler, CopyHeader) {
    Image source(std::vector<double>(6, 0.0), 1, 2, 3, 1, 8);
    source.setVoxelSizes(1.5f, 2.5f, 3.5f);
    Image copy;
    source.copyHeaderTo(copy);
    EXPECT_EQ(copy.getName(), "none");
    EXPECT_EQ(copy.getStatus(), ondrift::Valid);
    EXPECT_EQ(copy.getDimZ(), 3);
    EXPECT_EQ(copy.getNrOfVoxels(), 6);
    EXPECT_EQ(copy.getVoxelSizeY(), 2.5f);
    EXPECT_FALSE(copy.hasData());
    EXPECT_FALSE(copy.hasPosition());
    const auto m = copy.getPositionMatrix();
    EXPECT_EQ(m[0] + m[5] + m[10] + m[15], 4.0);
}

TEST(Datahandler, IndexOrderXFastest) {
    Image image(std::vector<double>(2 * 3 * 4 * 2, 0.0), 2, 3, 4, 2, 8);
    image.setValue(1, 2, 3, 1, 7.0);
    EXPECT_EQ(image.getValue(std::size_t{1 + 2 * 2 + 3 * 6 + 1 * 24}), 7.0);
    image.addValue(1, 2, 3, 1, 1.0);
    std::vector<double> volume(24);
    image.getVolume(1, volume.data());
    EXPECT_EQ(volume[1 + 2 * 2 + 3 * 6], 8.0);
}
