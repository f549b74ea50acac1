// The report's pieces in-process: the polarity check on phantoms in every direction (sign right
// and wrong, magnitude contrast as it is and inverted), the resampling rule it shares with the
// plug-in, fold-over counting, PNG encoding, and pages for results that are broken or odd.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cli/base/errors.h"
#include "cli/phantom/phantom.h"
#include "cli/report/html_report.h"
#include "cli/report/png_image.h"
#include "cli/report/polarity_check.h"
#include "cli/report/shift_figures.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::ScratchFolder;

namespace {

Volume lineVolume(std::array<int, 3> dims, float (*value)(int, int, int)) {
    Volume v;
    v.dims = dims;
    v.affine = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    v.values.resize(v.voxels());
    for (int z = 0; z < dims[2]; ++z)
        for (int y = 0; y < dims[1]; ++y)
            for (int x = 0; x < dims[0]; ++x) v.values[v.index(x, y, z)] = value(x, y, z);
    return v;
}

enum class Contrast { AsIs, Inverted, TissueInverted };

// The magnitude as it is; inverted outright (bright background); or with the contrast of the
// anatomy turned round inside a dark background, like a T2-weighted image against a
// T1-weighted one (`anatomy`: the undistorted functional mean).
Volume withContrast(Volume magnitude, const Volume& anatomy, Contrast contrast) {
    const float top = percentileOf(magnitude.values, 0.999);
    const float bright = 1.6f * percentileOf(anatomy.values, 0.99);
    for (std::size_t i = 0; i < magnitude.values.size(); ++i) {
        float& m = magnitude.values[i];
        if (contrast == Contrast::Inverted) m = top - m;
        if (contrast == Contrast::TissueInverted) m = m / top * (bright - anatomy.values[i]);
    }
    return magnitude;
}

}  // namespace

TEST(PolarityCheck, FindsTheSignInEveryDirectionWhateverTheMagnitudeContrast) {
    for (int pe = 1; pe <= 6; ++pe) {
        PhantomOptions o;
        o.peDirection = pe;
        o.volumes = 2;
        o.dims = pe >= 5 ? std::array<int, 3>{32, 32, 28} : std::array<int, 3>{40, 40, 14};
        if (pe >= 5) o.effectiveEchoSpacing = 0.0008;  // a long readout, so the shifts are felt
        o.tiltDegrees = pe == 4 ? 20.0 : 0.0;
        o.flipI = pe == 2;
        const Phantom p = makePhantom(o);
        const Volume mean = meanVolume(p.seriesGeometry, p.distorted);
        Volume shift = firstVolume(p.geometry, p.fieldHz);
        for (float& s : shift.values) s = static_cast<float>(s / p.bandwidthPE());
        const Volume magnitude = firstVolume(p.geometry, p.magnitude);
        const Volume anatomy = meanVolume(p.seriesGeometry, p.truth);
        for (Contrast contrast : {Contrast::AsIs, Contrast::Inverted, Contrast::TissueInverted}) {
            SCOPED_TRACE("direction " + std::to_string(pe) + ", contrast " +
                         std::to_string(static_cast<int>(contrast)));
            const Volume m = withContrast(magnitude, anatomy, contrast);
            const PolarityCheck right = checkPolarity(mean, shift, m, pe);
            EXPECT_EQ(right.verdict, PolarityCheck::Verdict::Consistent) << right.toJson();
            EXPECT_EQ(right.better(), pe);
            const PolarityCheck wrong = checkPolarity(mean, shift, m, oppositeDirection(pe));
            EXPECT_EQ(wrong.verdict, PolarityCheck::Verdict::OppositeBetter) << wrong.toJson();
            EXPECT_EQ(wrong.better(), pe);
            EXPECT_NEAR(wrong.oppositeScore, right.usedScore, 1e-12);
        }
    }
}

TEST(PolarityCheck, ResamplesAlongTheAxisAsThePlugInDoes) {
    // Values that grow along the axis make the source position visible in the result.
    const Volume alongI = lineVolume({8, 3, 2}, [](int x, int, int) { return float(10 * x); });
    const std::vector<float> shift(alongI.voxels(), 1.5f);
    const std::vector<float> plus = shiftAlong(alongI, shift, 1);
    const std::vector<float> minus = shiftAlong(alongI, shift, 2);
    EXPECT_FLOAT_EQ(plus[alongI.index(2, 1, 1)], 35.0f);  // from 3.5
    EXPECT_FLOAT_EQ(minus[alongI.index(2, 1, 1)], 5.0f);  // from 0.5
    EXPECT_FLOAT_EQ(plus[alongI.index(7, 0, 0)], 70.0f);  // beyond the end: the end voxel
    EXPECT_FLOAT_EQ(minus[alongI.index(0, 2, 1)], 0.0f);  // before the start: the first voxel
    const Volume alongK = lineVolume({2, 2, 6}, [](int, int, int z) { return float(z); });
    const std::vector<float> down(alongK.voxels(), -1.25f);
    EXPECT_FLOAT_EQ(shiftAlong(alongK, down, 5)[alongK.index(1, 1, 3)], 1.75f);
    EXPECT_FLOAT_EQ(shiftAlong(alongK, down, 6)[alongK.index(1, 1, 3)], 4.25f);
    // Along j nothing moves across i or k.
    const std::vector<float> acrossJ = shiftAlong(alongI, shift, 3);
    EXPECT_FLOAT_EQ(acrossJ[alongI.index(5, 0, 1)], 50.0f);
}

TEST(ShiftFigures, CountFoldOverOnlyAlongPhaseEncodingAndLeaveNaNOut) {
    Volume shift = lineVolume({6, 6, 2}, [](int, int y, int) { return y >= 3 ? 1.0f : 0.0f; });
    const std::vector<unsigned char> head(shift.voxels(), 1);
    // A step of 1 voxel along j between rows 2 and 3: both rows fold, 6 × 2 voxels each.
    EXPECT_EQ(shiftFigures(shift, head, 4).foldOver, 24u);
    EXPECT_EQ(shiftFigures(shift, head, 1).foldOver, 0u);  // along i the map is flat
    for (float& s : shift.values) s *= 0.85f;              // below the limit
    EXPECT_EQ(shiftFigures(shift, head, 3).foldOver, 0u);
    shift.values[0] = std::numeric_limits<float>::quiet_NaN();
    const ShiftFigures f = shiftFigures(shift, head, 3);
    EXPECT_EQ(f.nonFinite, 1u);
    EXPECT_EQ(f.inside.size(), shift.voxels() - 1);
    EXPECT_FLOAT_EQ(static_cast<float>(f.p1), 0.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(f.p99), 0.85f);
}

TEST(ReportPictures, PngEncodesAndDecodesTheSamePixels) {
    EXPECT_EQ(base64("Man"), "TWFu");
    EXPECT_EQ(base64("Ma"), "TWE=");
    EXPECT_EQ(base64("M"), "TQ==");
    RgbImage picture(5, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            picture.set(
                x, y, {static_cast<unsigned char>(40 * x), static_cast<unsigned char>(90 * y), 7});
    ScratchFolder scratch("png");
    const std::string bytes = encodePng(picture);
    ondrift::testing::writeText(scratch / "p.png", bytes);
    const RgbImage back = readPng(scratch / "p.png");
    EXPECT_EQ(back.width, 5);
    EXPECT_EQ(back.height, 3);
    EXPECT_EQ(back.pixels, picture.pixels);
    EXPECT_THROW(encodePng(RgbImage()), ProcessingError);
}

TEST(ReportPage, BrokenOrOddResultsGiveAPageThatSaysSo) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::array<int, 3> dims;
        bool nanValues;
        bool emptyHead;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"NaN in the results", {12, 10, 6}, true, false, {"NaN or infinite"}},
        {"empty mask", {12, 10, 6}, false, true, {"head mask is empty", "not done"}},
        {"single slice", {12, 10, 1}, false, false, {"k = 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReportContent content;
        content.title = "sub-01_bold";
        content.summary = {{"warnings", {"a <warning> & more"}}, {"log", {"entry"}}};
        ReportImages& im = content.images;
        im.direction = 3;
        const float level = c.emptyHead ? 0.0f : 1.0f;
        Volume head = lineVolume(c.dims, [](int x, int y, int) {
            return (x > 2 && x < 9 && y > 2 && y < 8) ? 500.0f : 0.0f;
        });
        for (float& v : head.values) v *= level;
        im.magnitude = im.meanBefore = im.meanAfter = im.magnitudeOnEpi = head;
        im.fieldHz = im.shift = lineVolume(c.dims, [](int, int y, int) { return 0.3f * y; });
        if (c.nanValues) {
            im.fieldHz.values[5] = nan;
            im.meanAfter.values[7] = nan;
            im.shift.values[3] = nan;
        }
        content.polarity = checkPolarity(im.meanBefore, im.shift, im.magnitude, 3);
        content.shifts = shiftFigures(im.shift, headMask(im.meanBefore, 0), 3);
        std::string page;
        ASSERT_NO_THROW(page = renderReport(content));
        for (const auto& part : c.expected) EXPECT_NE(page.find(part), std::string::npos) << part;
        EXPECT_NE(page.find("a &lt;warning&gt; &amp; more"), std::string::npos);
        EXPECT_EQ(page.find("http"), std::string::npos);
    }
    // Nothing at all to show.
    ReportContent nothing;
    nothing.title = "empty";
    std::string page;
    ASSERT_NO_THROW(page = renderReport(nothing));
    EXPECT_NE(page.find("No field map is available"), std::string::npos);
    EXPECT_NE(page.find("polarity check was not done"), std::string::npos);
}

TEST(ReportPage, TheIndexLinksEveryRunAndFlagsAWrongSign) {
    const std::string page = renderIndex(
        "sub-01", {{"run-1", "run-1/bold_report.html", "consistent", 0, false},
                   {"run-2", "run-2/bold_report.html", "opposite sign better", 2, true}});
    EXPECT_NE(page.find("href=\"run-1/bold_report.html\""), std::string::npos);
    EXPECT_NE(page.find("class=\"alarm\">opposite sign better"), std::string::npos);
}
