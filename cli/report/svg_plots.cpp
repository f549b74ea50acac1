#include "cli/report/svg_plots.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/report/slice_pictures.h"

namespace ondrift::cli {

namespace {

std::string hex(Rgb c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

}  // namespace

std::string fixed(double value, int digits) {
    if (!std::isfinite(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string histogramSvg(std::span<const float> values, const std::vector<Mark>& marks,
                         const std::string& unit) {
    constexpr int kBins = 60, kWidth = 520, kHeight = 200, kLeft = 40, kBottom = 30, kTop = 10;
    double lo = INFINITY, hi = -INFINITY;
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        lo = std::min<double>(lo, v);
        hi = std::max<double>(hi, v);
    }
    if (!(lo <= hi)) return "<p class=\"note\">No values to show.</p>";
    if (hi - lo < 1e-6) {
        lo -= 0.5;
        hi += 0.5;
    }
    std::vector<std::size_t> bins(kBins, 0);
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        const int b = std::min(kBins - 1, static_cast<int>((v - lo) / (hi - lo) * kBins));
        ++bins[static_cast<std::size_t>(std::max(b, 0))];
    }
    const std::size_t most = *std::max_element(bins.begin(), bins.end());
    const double plotW = kWidth - kLeft - 10, plotH = kHeight - kBottom - kTop;
    auto xOf = [&](double v) { return kLeft + (v - lo) / (hi - lo) * plotW; };
    std::string svg = "<svg class=\"plot\" width=\"" + std::to_string(kWidth) + "\" height=\"" +
                      std::to_string(kHeight) + "\" role=\"img\">";
    char text[256];
    for (int b = 0; b < kBins; ++b) {
        const double h =
            most > 0 ? plotH * double(bins[static_cast<std::size_t>(b)]) / double(most) : 0.0;
        std::snprintf(text, sizeof text,
                      "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                      "fill=\"#6a8caf\"/>",
                      kLeft + b * plotW / kBins, kTop + plotH - h, plotW / kBins * 0.92, h);
        svg += text;
    }
    std::snprintf(text, sizeof text,
                  "<line x1=\"%d\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>", kLeft,
                  kTop + plotH, kLeft + plotW, kTop + plotH);
    svg += text;
    for (double v : {lo, (lo + hi) / 2, hi}) {
        std::snprintf(
            text, sizeof text,
            "<text x=\"%.1f\" y=\"%d\" font-size=\"11\" text-anchor=\"middle\">%.2f</text>", xOf(v),
            kHeight - 14, v);
        svg += text;
    }
    svg += "<text x=\"" + std::to_string(kLeft + static_cast<int>(plotW) / 2) + "\" y=\"" +
           std::to_string(kHeight - 2) + "\" font-size=\"11\" text-anchor=\"middle\">" + unit +
           "</text>";
    int row = 0;
    for (const Mark& m : marks) {
        if (!std::isfinite(m.value)) continue;
        std::snprintf(text, sizeof text,
                      "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#c0392b\" "
                      "stroke-dasharray=\"4 3\"/><text x=\"%.1f\" y=\"%d\" font-size=\"11\" "
                      "fill=\"#c0392b\">",
                      xOf(m.value), kTop, xOf(m.value), kTop + plotH, xOf(m.value) + 3,
                      kTop + 12 + 13 * row);
        svg += text + m.label + "</text>";
        row = (row + 1) % 3;
    }
    return svg + "</svg>";
}

std::string colourBarSvg(float limit, const std::string& unit) {
    std::string svg =
        "<svg class=\"colourbar\" width=\"300\" "
        "height=\"42\" role=\"img\"><defs><linearGradient id=\"diverging\">";
    for (int i = 0; i <= 10; ++i) {
        const float v = limit * (i / 5.0f - 1.0f);
        svg += "<stop offset=\"" + std::to_string(i * 10) + "%\" stop-color=\"" +
               hex(divergingColour(v, limit)) + "\"/>";
    }
    svg +=
        "</linearGradient></defs><rect x=\"10\" y=\"4\" width=\"280\" height=\"16\" "
        "fill=\"url(#diverging)\" stroke=\"#333\"/>";
    const std::string l = fixed(limit, 0);
    svg += "<text x=\"10\" y=\"36\" font-size=\"11\">\u2212" + l + " " + unit +
           "</text><text x=\"150\" y=\"36\" font-size=\"11\" text-anchor=\"middle\">0</text>"
           "<text x=\"290\" y=\"36\" font-size=\"11\" text-anchor=\"end\">+" +
           l + " " + unit + "</text></svg>";
    return svg;
}

}  // namespace ondrift::cli
