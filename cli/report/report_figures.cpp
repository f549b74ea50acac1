#include "cli/report/report_figures.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "cli/base/phase_encoding.h"
#include "cli/report/slice_pictures.h"
#include "cli/report/svg_plots.h"

namespace ondrift::cli {

namespace {

constexpr Plane kPlanes[] = {Plane::IJ, Plane::IK, Plane::JK};
constexpr Rgb kOutline{255, 210, 0};
constexpr Rgb kFoldOver{230, 30, 30};

std::string note(const std::string& text) {
    return "<p class=\"note\">" + escapeHtml(text) + "</p>";
}

std::string figure(const std::string& content, const std::string& caption) {
    return "<figure>" + content + "<figcaption>" + escapeHtml(caption) + "</figcaption></figure>";
}

std::string nonFiniteNote(const Volume& v, const std::string& what) {
    std::size_t n = 0;
    for (float x : v.values) n += std::isfinite(x) ? 0 : 1;
    if (n == 0) return {};
    return "<p class=\"warning\">" + escapeHtml(what) + " holds " + std::to_string(n) +
           " NaN or infinite values; they are drawn as 0.</p>";
}

// Levels of the outlines: the head's border and the brighter structures inside, both measured
// on the image itself so that an inverted contrast outlines the same places.
std::vector<float> outlineLevels(const Volume& v) {
    const float p98 = percentileOf(v.values, 0.98);
    if (!(p98 > 0)) return {};
    return {0.25f * p98, 0.6f * p98};
}

// The window of grey values: 0 to the 99th percentile of the image.
float greyTop(float percentile99) { return percentile99 > 0 ? percentile99 : 1.0f; }

// The head mask and the grey window of an image, from one selection of its percentiles.
std::pair<std::vector<unsigned char>, float> headAndWindow(const Volume& v) {
    const std::vector<float> p = percentilesOf(v.values, {0.98, 0.99});
    return {headMask(v, 0, p[0]), greyTop(p[1])};
}

Plane planeAlong(int direction) { return directionAxis(direction) == 2 ? Plane::IK : Plane::IJ; }

}  // namespace

void ReportImages::prepare() {
    std::tie(head, top) = headAndWindow(meanBefore);
    levels = outlineLevels(magnitudeOnEpi);
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string fieldMapSection(const ReportImages& im) {
    std::string html = "<section id=\"fieldmap\"><h2>Field map</h2>";
    if (im.fieldHz.empty())
        return html + note("No field map is available for this run.") + "</section>";
    html += nonFiniteNote(im.fieldHz, "The field map");
    const bool overMagnitude = !im.magnitude.empty() && im.magnitude.sameGrid(im.fieldHz);
    const Volume& background = overMagnitude ? im.magnitude : im.fieldHz;
    auto [mask, top] = headAndWindow(background);
    if (!overMagnitude) {
        for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = im.fieldHz.values[i] != 0;
    }
    std::vector<float> inside;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] != 0 && std::isfinite(im.fieldHz.values[i]))
            inside.push_back(im.fieldHz.values[i]);
    }
    const std::vector<float> ends = percentilesOf(inside, {0.01, 0.99});
    float limit = std::max(std::fabs(ends[0]), std::fabs(ends[1]));
    if (!(limit > 0)) limit = 1.0f;
    html +=
        "<p>The field map in Hz" +
        std::string(overMagnitude ? " over the magnitude image"
                                  : " (no magnitude image on its grid)") +
        ", where the head is. Colours saturate at \u00b1" + fixed(limit, 0) +
        " Hz (the larger of the 1st and 99th percentiles inside the head).</p><div class=\"row\">";
    for (Plane plane : kPlanes) {
        const int index = middleIndex(background, plane, mask);
        const Slice grey = extractSlice(background, plane, index);
        RgbImage picture = greyPicture(grey, 0.0f, overMagnitude ? top : 0.0f);
        overlayDiverging(picture, extractSlice(im.fieldHz, plane, index),
                         extractMaskSlice(mask, im.fieldHz, plane, index), limit, 0.65f);
        html += figure(imgTag(picture, grey, "field map"), planeName(plane, index));
    }
    return html + "</div>" + colourBarSvg(limit, "Hz") + "</section>";
}

std::string beforeAfterSection(const ReportImages& im) {
    std::string html = "<section id=\"beforeafter\"><h2>Before and after</h2>";
    if (im.meanBefore.empty() || im.meanAfter.empty() || !im.meanBefore.sameGrid(im.meanAfter)) {
        return html +
               note("The mean functional image before or after the correction is not available.") +
               "</section>";
    }
    html += nonFiniteNote(im.meanAfter, "The corrected series");
    const bool outlines = !im.magnitudeOnEpi.empty();
    html +=
        "<p>The mean functional image, distorted and corrected, alternating" +
        std::string(outlines ? "; the outlines are the magnitude image's, which is not distorted"
                             : "") +
        ". Hover over a picture to hold it on the corrected image.</p><div class=\"row\">";
    const std::vector<unsigned char>& mask = im.head;
    const float top = im.top;
    const std::vector<float>& levels = im.levels;
    for (Plane plane : kPlanes) {
        const int index = middleIndex(im.meanBefore, plane, mask);
        const Slice before = extractSlice(im.meanBefore, plane, index);
        RgbImage a = greyPicture(before, 0.0f, top);
        RgbImage b = greyPicture(extractSlice(im.meanAfter, plane, index), 0.0f, top);
        if (outlines) {
            const Slice edges = extractSlice(im.magnitudeOnEpi, plane, index);
            drawOutlines(a, edges, levels, kOutline);
            drawOutlines(b, edges, levels, kOutline);
        }
        html += figure("<div class=\"flicker\">" + imgTag(a, before, "before", "before") +
                           imgTag(b, before, "after", "after") +
                           "<span class=\"tag before\">before</span><span class=\"tag "
                           "after\">after</span></div>",
                       planeName(plane, index));
    }
    return html + "</div></section>";
}

std::string shiftSection(const ReportImages& im, const ShiftFigures& f) {
    std::string html = "<section id=\"shifts\"><h2>Shifts</h2>";
    if (im.shift.empty())
        return html + note("No pixel shift map is available for this run.") + "</section>";
    if (f.nonFinite > 0) {
        html += "<p class=\"warning\">The shift map holds " + std::to_string(f.nonFinite) +
                " NaN or infinite values; they are left out.</p>";
    }
    if (f.inside.empty()) {
        html += note("The head mask is empty: there are no shifts inside the head to show.");
    } else {
        html += "<p>The shifts along phase encoding (" + bidsDirection(im.direction) +
                ") in voxels, in the " + std::to_string(f.inside.size()) +
                " voxels inside the head. Percentiles: 1 %: " + fixed(f.p1, 2) +
                ", 50 %: " + fixed(f.p50, 2) + ", 99 %: " + fixed(f.p99, 2) + ".</p>";
        html += histogramSvg(f.inside, {{f.p1, "1 %"}, {f.p50, "50 %"}, {f.p99, "99 %"}}, "voxels");
    }
    html += "<h3 id=\"foldover\">Fold-over</h3><p>Where the shift changes by more than " +
            fixed(kFoldOverStep, 1) +
            " voxel from one voxel to the next along phase encoding, the signal of several voxels "
            "lands "
            "on one place and the pixel-shift method cannot restore it. <strong>" +
            std::to_string(f.foldOver) +
            "</strong> voxels inside the head (marked red).</p><div class=\"row\">";
    const Volume& background = im.meanAfter.empty() ? im.meanBefore : im.meanAfter;
    if (background.empty() || !background.sameGrid(im.shift)) {
        return html + "</div>" + note("No functional image to draw the fold-over on.") +
               "</section>";
    }
    const float top = im.top;
    const std::vector<unsigned char>& where = f.foldOver > 0 ? f.foldOverMask : im.head;
    for (Plane plane : kPlanes) {
        const int index = middleIndex(background, plane, where);
        const Slice grey = extractSlice(background, plane, index);
        RgbImage picture = greyPicture(grey, 0.0f, top);
        overlayMask(picture, extractMaskSlice(f.foldOverMask, background, plane, index), kFoldOver);
        html += figure(imgTag(picture, grey, "fold-over"), planeName(plane, index));
    }
    return html + "</div></section>";
}

std::string polaritySection(const ReportImages& im, const PolarityCheck& c) {
    std::string html = "<section id=\"polarity\"><h2>Polarity check</h2>";
    if (c.verdict == PolarityCheck::Verdict::NotDone) {
        return html + note("The polarity check was not done: " + c.reason + ".") + "</section>";
    }
    const bool wrong = c.verdict == PolarityCheck::Verdict::OppositeBetter;
    html += std::string("<p class=\"") + (wrong ? "alarm" : "verdict") + "\">" +
            (wrong ? "Warning: " : "") + escapeHtml(c.reason) + ".</p>";
    html +=
        "<p>The mean functional image resampled with the shift map in each direction, compared "
        "with the field map's magnitude image, which is not distorted, by their normalised "
        "mutual information in and around the head (" +
        std::to_string(c.maskVoxels) +
        " voxels; higher is a better match, whatever the contrast of the two images). The sign "
        "that matches better is the one that undoes the distortion.</p>"
        "<table class=\"scores\"><tr><th>Resampled</th><th>Score</th></tr>"
        "<tr><td>not at all (distorted)</td><td>" +
        fixed(c.uncorrected, 3) + "</td></tr><tr><td>with " + bidsDirection(c.used) +
        " (used)</td><td>" + fixed(c.usedScore, 3) + "</td></tr><tr><td>with " +
        bidsDirection(oppositeDirection(c.used)) + " (opposite)</td><td>" +
        fixed(c.oppositeScore, 3) + "</td></tr></table><div class=\"row\">";
    if (im.meanBefore.empty() || im.shift.empty()) return html + "</div></section>";
    const Plane plane = planeAlong(c.used);
    const int index = middleIndex(im.meanBefore, plane, im.head);
    const float top = im.top;
    const std::vector<float>& levels = im.levels;
    // Only the plane shown is resampled: it holds the phase-encoding axis, along which every
    // value is taken, so its values are those of the whole volume resampled.
    const int fixedAxis = plane == Plane::IJ ? 2 : 1;
    const Volume before = slabOf(im.meanBefore, fixedAxis, index);
    const Volume shift = slabOf(im.shift, fixedAxis, index);
    const Volume edges = slabOf(im.magnitudeOnEpi, fixedAxis, index);
    Volume moved = before;
    const struct {
        int code;
        std::string caption;
    } views[] = {{0, "distorted"},
                 {c.used, "with " + bidsDirection(c.used) + " (used)"},
                 {oppositeDirection(c.used), "with " + bidsDirection(oppositeDirection(c.used))}};
    for (const auto& v : views) {
        moved.values = v.code == 0 ? before.values : shiftAlong(before, shift.values, v.code);
        const Slice grey = extractSlice(moved, plane, 0);
        RgbImage picture = greyPicture(grey, 0.0f, top);
        if (!edges.empty()) drawOutlines(picture, extractSlice(edges, plane, 0), levels, kOutline);
        html +=
            figure(imgTag(picture, grey, v.caption), v.caption + ", " + planeName(plane, index));
    }
    return html + "</div></section>";
}

}  // namespace ondrift::cli
