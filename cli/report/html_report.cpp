#include "cli/report/html_report.h"

#include <functional>
#include <future>

#include "cli/report/svg_plots.h"

namespace ondrift::cli {

namespace {

using nlohmann::json;

constexpr const char* kStyle = R"(
body { font-family: sans-serif; margin: 1.5em auto; padding: 0 1.2em; max-width: 1100px; color: #222; }
h1 { font-size: 1.5em; } h2 { border-bottom: 1px solid #ccc; padding-bottom: .2em; margin-top: 1.6em; }
table { border-collapse: collapse; font-size: .9em; } td, th { border: 1px solid #ddd; padding: 3px 8px; text-align: left; vertical-align: top; }
.row { display: flex; flex-wrap: wrap; gap: 14px; align-items: flex-end; }
figure { margin: 0; } figcaption { font-size: .8em; color: #555; text-align: center; }
img { image-rendering: pixelated; background: #000; display: block; }
.note { color: #555; font-style: italic; } .warning { color: #8a5300; }
.alarm { background: #c0392b; color: #fff; padding: .6em 1em; font-weight: bold; font-size: 1.1em; }
.verdict { background: #e8f4e8; padding: .5em 1em; }
ul.warnings li { color: #8a5300; }
.flicker { position: relative; } .flicker .after { position: absolute; top: 0; left: 0; animation: flick 2s steps(1) infinite; }
.flicker:hover .after { animation: none; opacity: 1; }
.flicker .tag { position: absolute; top: 3px; left: 5px; color: #fff; font-size: .8em; background: rgba(0,0,0,.5); padding: 0 4px; }
.flicker .tag.after { top: 3px; left: 5px; }
@keyframes flick { 0% { opacity: 0; } 50% { opacity: 1; } }
details pre { font-size: .8em; max-height: 30em; overflow: auto; background: #f6f6f6; padding: .5em; }
)";

std::string text(const json& value) {
    if (value.is_null()) return "\u2014";
    if (value.is_string()) return escapeHtml(value.get<std::string>());
    if (value.is_number_float()) return fixed(value.get<double>(), 4);
    return escapeHtml(value.dump());
}

std::string inputsSection(const json& summary) {
    std::string html = "<section id=\"inputs\"><h2>Inputs</h2>";
    const json inputs = summary.value("inputs", json::object());
    if (!inputs.is_object() || inputs.empty())
        return html + "<p class=\"note\">Not recorded.</p></section>";
    html += "<table><tr><th>Role</th><th>File</th><th>Grid</th><th>Sidecar</th><th>Notes</th></tr>";
    for (const auto& [role, in] : inputs.items()) {
        std::string grid, notes;
        if (in.contains("dimensions") && in["dimensions"].is_array()) {
            grid = text(in["dimensions"]) + " \u00d7 " + text(in.value("volumes", json(1))) +
                   " volumes";
            if (in.contains("voxelSize")) grid += ", voxels " + text(in["voxelSize"]) + " mm";
        }
        if (in.value("nonFiniteReplaced", json(0)) != json(0)) {
            notes += text(in["nonFiniteReplaced"]) + " NaN/Inf replaced by 0. ";
        }
        if (in.contains("scale") && in["scale"] != json(1.0))
            notes += "scaled by " + text(in["scale"]) + ". ";
        if (in.contains("samplingLattice")) notes += text(in["samplingLattice"]);
        html += "<tr><td>" + escapeHtml(role) + "</td><td>" + text(in.value("path", json(""))) +
                "</td><td>" + grid + "</td><td>" + text(in.value("sidecar", json(""))) +
                "</td><td>" + notes + "</td></tr>";
    }
    return html + "</table></section>";
}

std::string parametersSection(const json& summary) {
    std::string html = "<section id=\"parameters\"><h2>Parameters</h2>";
    const json parameters = summary.value("parameters", json::object());
    html += "<table><tr><th>Parameter</th><th>Value</th><th>Source</th></tr>";
    for (const auto& [name, p] : parameters.items()) {
        if (!p.is_object()) continue;
        html += "<tr><td>" + escapeHtml(name) + "</td><td>" + text(p.value("value", json(""))) +
                "</td><td>" + text(p.value("source", json(""))) + "</td></tr>";
    }
    return html + "</table></section>";
}

std::string warningsSection(const json& summary) {
    std::string html = "<section id=\"warnings\"><h2>Warnings</h2>";
    const json warnings = summary.value("warnings", json::array());
    if (!warnings.is_array() || warnings.empty()) return html + "<p>None.</p></section>";
    html += "<ul class=\"warnings\">";
    for (const auto& w : warnings) html += "<li>" + text(w) + "</li>";
    return html + "</ul></section>";
}

// The unwrapping's own figures (voxels that changed cycle, the level chosen) when the plug-in
// reports them; otherwise the log lines that speak of them.
std::string unwrappingSection(const json& summary) {
    std::string html = "<section id=\"unwrapping\"><h2>Unwrapping</h2>";
    if (summary.contains("unwrapping") && summary["unwrapping"].is_object() &&
        !summary["unwrapping"].empty()) {
        html += "<table>";
        for (const auto& [name, value] : summary["unwrapping"].items()) {
            html += "<tr><td>" + escapeHtml(name) + "</td><td>" + text(value) + "</td></tr>";
        }
        return html + "</table></section>";
    }
    std::string lines;
    if (summary.contains("log") && summary["log"].is_array()) {
        for (const auto& entry : summary["log"]) {
            if (!entry.is_string()) continue;
            const std::string& e = entry.get_ref<const std::string&>();
            if (e.find("cycle") != std::string::npos || e.find("level") != std::string::npos) {
                lines += escapeHtml(e) + "\n";
            }
        }
    }
    if (lines.empty())
        return html +
               "<p class=\"note\">The plug-in reported no unwrapping figures for this "
               "run.</p></section>";
    return html + "<pre>" + lines + "</pre></section>";
}

std::string logSection(const json& summary) {
    std::string log;
    if (summary.contains("log") && summary["log"].is_array()) {
        for (const auto& entry : summary["log"]) log += text(entry) + "\n";
    }
    std::string timings;
    if (summary.contains("timings") && summary["timings"].is_object()) {
        for (const auto& [name, value] : summary["timings"].items()) {
            timings += escapeHtml(name) + " " + text(value) + " s; ";
        }
    }
    return "<section id=\"log\"><h2>Log</h2><p>" + timings +
           "</p><details><summary>The plug-in's log (" +
           std::to_string(summary.value("log", json::array()).size()) + " entries)</summary><pre>" +
           log + "</pre></details></section>";
}

}  // namespace

std::string renderReport(const ReportContent& content) {
    // Content put together by hand may not have its shared figures worked out yet.
    const bool prepared = content.images.head.size() == content.images.meanBefore.voxels() &&
                          !content.images.meanBefore.empty();
    ReportContent preparedCopy;
    if (!prepared) {
        preparedCopy = content;
        preparedCopy.images.prepare();
    }
    const ReportContent& c = prepared ? content : preparedCopy;
    const json summary = c.summary.is_object() ? c.summary : json::object();
    std::string html =
        "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>ondrift: " +
        escapeHtml(c.title) + "</title><style>" + kStyle + "</style></head><body>";
    html += "<h1>Distortion correction of " + escapeHtml(c.title) + "</h1>";
    if (c.polarity.verdict == PolarityCheck::Verdict::OppositeBetter) {
        html +=
            "<p class=\"alarm\">The phase-encoding sign is probably wrong: see the polarity "
            "check.</p>";
    }
    // The pictures first: they are what people look at; the tables behind them.
    // The picture sections are independent of each other: drawn on threads of their own.
    auto polarity =
        std::async(std::launch::async, polaritySection, std::cref(c.images), std::cref(c.polarity));
    auto fieldMap = std::async(std::launch::async, fieldMapSection, std::cref(c.images));
    auto shifts =
        std::async(std::launch::async, shiftSection, std::cref(c.images), std::cref(c.shifts));
    const std::string beforeAfter = beforeAfterSection(c.images);
    html += warningsSection(summary) + polarity.get();
    html += fieldMap.get() + pairSection(summary.value("fieldMapSource", json()), c.pair) +
            beforeAfter + shifts.get();
    html += unwrappingSection(summary) + inputsSection(summary) + parametersSection(summary) +
            logSection(summary);
    return html + "</body></html>\n";
}

IndexEntry indexEntry(const ReportContent& c, const std::string& link) {
    IndexEntry e;
    e.title = c.title;
    e.link = link;
    e.verdict = c.polarity.toJson().value("verdict", std::string());
    if (c.summary.is_object()) e.warnings = c.summary.value("warnings", json::array()).size();
    e.alarm = c.polarity.verdict == PolarityCheck::Verdict::OppositeBetter;
    return e;
}

std::string renderIndex(const std::string& title, const std::vector<IndexEntry>& entries) {
    std::string html = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                       escapeHtml(title) + "</title><style>" + kStyle +
                       "</style></head><body><h1>" + escapeHtml(title) +
                       "</h1><section id=\"runs\"><table><tr><th>Run</th><th>Polarity "
                       "check</th><th>Warnings</th></tr>";
    for (const IndexEntry& e : entries) {
        html += "<tr><td><a href=\"" + escapeHtml(e.link) + "\">" + escapeHtml(e.title) +
                "</a></td><td" + (e.alarm ? " class=\"alarm\"" : "") + ">" + escapeHtml(e.verdict) +
                "</td><td>" + std::to_string(e.warnings) + "</td></tr>";
    }
    return html + "</table></section></body></html>\n";
}

}  // namespace ondrift::cli
