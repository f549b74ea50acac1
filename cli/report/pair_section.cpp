#include "cli/report/pair_section.h"

#include <algorithm>
#include <cstdio>

#include "cli/report/report_figures.h"
#include "cli/report/slice_pictures.h"
#include "cli/report/svg_plots.h"

namespace ondrift::cli {

namespace {

using nlohmann::json;

double number(const json& j, const char* group, const char* key) {
    if (!j.contains(group) || !j[group].is_object()) return 0;
    const json& v = j[group].value(key, json(0.0));
    return v.is_number() ? v.get<double>() : 0;
}

// Two pairs of bars on one scale from 0 to 1: the relative RMS difference of the two images
// inside the head and their correlation, before and after.
std::string agreementSvg(double diffBefore, double diffAfter, double corrBefore, double corrAfter) {
    const int width = 360, height = 150, base = 120, top = 20;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height) +
                      "\" font-size=\"11\" font-family=\"sans-serif\">";
    const struct {
        double value;
        const char* colour;
        const char* label;
        int x;
    } bars[] = {{diffBefore, "#c0392b", "before", 30},
                {diffAfter, "#27ae60", "after", 80},
                {corrBefore, "#c0392b", "before", 200},
                {corrAfter, "#27ae60", "after", 250}};
    for (const auto& b : bars) {
        const double v = std::clamp(b.value, 0.0, 1.0);
        const int h = static_cast<int>(v * (base - top));
        char rect[200];
        std::snprintf(rect, sizeof rect,
                      "<rect x=\"%d\" y=\"%d\" width=\"40\" height=\"%d\" fill=\"%s\"/>"
                      "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>",
                      b.x, base - h, h, b.colour, b.x + 20, base - h - 4,
                      fixed(b.value, 3).c_str());
        svg += rect;
        svg += "<text x=\"" + std::to_string(b.x + 20) + "\" y=\"" + std::to_string(base + 14) +
               "\" text-anchor=\"middle\">" + b.label + "</text>";
    }
    svg += "<line x1=\"20\" y1=\"" + std::to_string(base) + "\" x2=\"340\" y2=\"" +
           std::to_string(base) + "\" stroke=\"#555\"/>";
    svg += "<text x=\"75\" y=\"" + std::to_string(base + 28) +
           "\" text-anchor=\"middle\">relative difference</text><text x=\"245\" y=\"" +
           std::to_string(base + 28) + "\" text-anchor=\"middle\">correlation</text>";
    return svg + "</svg>";
}

std::string pictures(const PairPictures& p) {
    if (p.plusBefore.empty() || p.minusBefore.empty() || p.plusAfter.empty() ||
        p.minusAfter.empty()) {
        return {};
    }
    const float top = std::max(1e-6f, percentileOf(p.plusBefore.values, 0.99));
    const int index = middleIndex(p.plusBefore, Plane::IJ, {});
    std::string html = "<div class=\"row\">";
    const struct {
        const Volume* v;
        const char* caption;
    } shown[] = {{&p.plusBefore, "positive direction, as taken"},
                 {&p.minusBefore, "negative direction, as taken"},
                 {&p.plusAfter, "positive direction, corrected"},
                 {&p.minusAfter, "negative direction, corrected"}};
    for (const auto& s : shown) {
        const Slice slice = extractSlice(*s.v, Plane::IJ, index);
        const RgbImage picture = greyPicture(slice, 0.0f, top);
        html += "<figure>" + imgTag(picture, slice, s.caption) + "<figcaption>" +
                escapeHtml(s.caption) + ", " + escapeHtml(planeName(Plane::IJ, index)) +
                "</figcaption></figure>";
    }
    return html + "</div>";
}

}  // namespace

std::string pairSection(const json& source, const PairPictures& p) {
    if (!source.is_object()) return {};
    std::string html =
        "<section id=\"pair\"><h2>Field map from a reverse phase-encoding pair</h2><p>";
    for (const char* side : {"positive", "negative"}) {
        if (!source.contains(side) || !source[side].is_object()) continue;
        const json& s = source[side];
        html += escapeHtml(s.value("PhaseEncodingDirection", std::string("?"))) + ": " +
                escapeHtml(s.value("path", std::string())) + " (" +
                std::to_string(s.value("volumes", 1)) + " volumes averaged)<br>";
    }
    html += "</p>";
    const double db = number(source, "agreementBefore", "relativeDifference");
    const double da = number(source, "agreementAfter", "relativeDifference");
    const double cb = number(source, "agreementBefore", "correlation");
    const double ca = number(source, "agreementAfter", "correlation");
    html += "<figure>" + agreementSvg(db, da, cb, ca) +
            "<figcaption>The two images inside the head, as taken and brought back through the "
            "estimated field: after correction they should agree.</figcaption></figure>";
    return html + pictures(p) + "</section>";
}

}  // namespace ondrift::cli
