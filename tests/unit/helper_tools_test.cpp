#include <gtest/gtest.h>

#include <cmath>

#include "image/display_funcs.h"
#include "image/helper_tools.h"

using ondrift::displayFuncs;
using ondrift::helperTools;

TEST(HelperTools, FileTypes) {
    const helperTools h;
    EXPECT_EQ(h.extensionOfType(21, true), "*.fmr");
    EXPECT_EQ(h.extensionOfType(21, false), ".fmr");
    EXPECT_EQ(h.extensionOfType(101, false), ".gz");
    EXPECT_EQ(h.extensionOfType(999, true), "*.");
    EXPECT_EQ(h.fileTypeOfName("x.fmr"), 21);
    EXPECT_EQ(h.fileTypeOfName("x.nii"), 1);
    EXPECT_EQ(h.fileTypeOfName("x.nii.gz"), -1);
    EXPECT_EQ(h.fileTypeOfName("x.FMR"), -1);
    EXPECT_EQ(h.fileTypeOfName("mr"), -1);
    EXPECT_EQ(h.fileTypeOfName(""), -1);
    EXPECT_EQ(h.fileTypeOfName(nullptr), -1);
    EXPECT_EQ(h.fileTypeOfName("a.bmp"), 400);
}

TEST(HelperTools, NamesFromImageNames) {
    const helperTools h;
    EXPECT_EQ(h.addSuffix("C:/data/p.fmr", "_smooth"), "C:/data/p_smooth.fmr");
    EXPECT_EQ(h.addSuffix("p_unwrapped.fmr", "_smooth"), "p_unwrapped_smooth.fmr");
    EXPECT_EQ(h.addSuffix("p.xyz", "_smooth"), "p_smooth.");
    EXPECT_EQ(h.addSuffix("nodot", "_b0"), "_b0.");
    EXPECT_EQ(h.stripExtension("a.b.fmr"), "a.b");
    EXPECT_EQ(h.stripExtension("nodot"), "");
    EXPECT_EQ(h.stripExtension(""), "''");
    EXPECT_EQ(h.replaceExtension("run1_b0.fmr", ".amr"), "run1_b0.amr");
}

TEST(HelperTools, BaseName) {
    const helperTools h;
    EXPECT_EQ(h.baseName("C:\\data\\p.fmr", false, false), "p.fmr");
    EXPECT_EQ(h.baseName("C:\\data\\p.fmr", true, false), "p");
    EXPECT_EQ(h.baseName("C:\\data\\p.fmr", true, true), "p-");
    EXPECT_EQ(h.baseName("dir/sub.d/file", false, false), "file");
    // A file name without any "." keeps all of it (not only its first character).
    EXPECT_EQ(h.baseName("dir/sub.d/file", true, false), "file");
    EXPECT_EQ(h.baseName("a/b\\c.fmr", false, false), "b\\c.fmr");
    EXPECT_EQ(h.baseName("p.fmr", false, false), "p.fmr");
    EXPECT_EQ(h.baseName("", false, false), "");
}

TEST(HelperTools, ByteOrderAndFloorMod) {
    const helperTools h;
    EXPECT_EQ(h.byteOrder(), 1);
    const double twoPi = 6.28318530717958;
    EXPECT_DOUBLE_EQ(h.floorMod(-1.0, twoPi), twoPi - 1.0);
    EXPECT_DOUBLE_EQ(h.floorMod(7.0, 2.0), 1.0);
    EXPECT_DOUBLE_EQ(h.floorMod(5.0, 0.0), 5.0 - std::floor(5.0 / 1e-12) * 1e-12);
}

TEST(DisplayFuncs, Texts) {
    const displayFuncs d;
    EXPECT_STREQ(d.directionText(1), "+x (right to left)");
    EXPECT_STREQ(d.directionText(6), "-z (superior to inferior)");
    EXPECT_STREQ(d.directionText(0), "unknown");
    EXPECT_STREQ(d.directionText(-3), "unknown");
    EXPECT_STREQ(d.documentTypeText(3), "VMR");
    EXPECT_STREQ(d.documentTypeText(7), "Unknown");
    EXPECT_STREQ(d.documentTypeText(-1), "Unknown");
}
