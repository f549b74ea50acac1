// The demo's report in a real browser (headless Chromium): it renders as a page with pictures,
// shows the expected sections, and makes no network request of its own. Skipped when Chromium
// is not installed (the test script installs it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/report/png_image.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::readText;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

bool haveChromium() { return std::system("command -v chromium >/dev/null 2>&1") == 0; }

// Chromium with everything that would talk to the network on its own turned off, and a fresh
// profile per run.
int chromium(const ScratchFolder& scratch, const std::string& profile, const std::string& args) {
    const std::string command =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --user-data-dir=\"" +
        (scratch / profile) + "\" " + args + " 2>\"" + (scratch / (profile + ".log")) + "\"";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The URLs the page itself asked for: requests whose network isolation key is the file's
// (the browser's own background requests carry none or another site's).
std::vector<std::string> pageRequests(const std::string& netLog) {
    const auto log = nlohmann::json::parse(netLog, nullptr, false);
    std::vector<std::string> urls;
    if (log.is_discarded() || !log.contains("events")) {
        urls.push_back("(unreadable net log)");
        return urls;
    }
    for (const auto& e : log["events"]) {
        if (!e.contains("params") || !e["params"].is_object()) continue;
        const auto& p = e["params"];
        if (!p.contains("url") || !p.contains("network_isolation_key")) continue;
        if (p["network_isolation_key"].dump().find("file://") == std::string::npos) continue;
        urls.push_back(p["url"].get<std::string>());
    }
    return urls;
}

}  // namespace

TEST(Browser, TheDemoReportRendersWithPicturesAndNoNetworkRequest) {
    if (!haveChromium()) GTEST_SKIP() << "chromium is not installed";
    ScratchFolder scratch("browser");
    const auto demo = runOndrift("demo -q --out \"" + (scratch / "demo") + "\"", scratch);
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    const fs::path report = scratch.path() / "demo/output/sub-phantom_task-rest_bold_report.html";
    ASSERT_TRUE(fs::exists(report));
    const std::string url = "file://" + report.string();

    ASSERT_EQ(chromium(scratch, "shot",
                       "--window-size=1100,1600 --screenshot=\"" + (scratch / "shot.png") +
                           "\" --log-net-log=\"" + (scratch / "net.json") + "\" \"" + url + "\""),
              0)
        << readText(scratch.path() / "shot.log");
    const RgbImage shot = readPng(scratch / "shot.png");
    ASSERT_GT(shot.width, 0) << "no screenshot";
    // Not blank: a good share of the page is drawn, in many colours (the pictures).
    std::size_t inked = 0;
    std::set<int> colours;
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            const Rgb c = shot.get(x, y);
            if (c.r < 235 || c.g < 235 || c.b < 235) ++inked;
            colours.insert((c.r << 16) | (c.g << 8) | c.b);
        }
    }
    EXPECT_GT(inked, static_cast<std::size_t>(shot.width) * shot.height / 10);
    EXPECT_GT(colours.size(), 200u);
    EXPECT_TRUE(pageRequests(readText(scratch.path() / "net.json")).empty());

    ASSERT_EQ(
        chromium(scratch, "dom", "--dump-dom \"" + url + "\" >\"" + (scratch / "dom.html") + "\""),
        0);
    const std::string dom = readText(scratch.path() / "dom.html");
    for (const char* part : {"id=\"polarity\"", "Polarity check", "id=\"fieldmap\"",
                             "id=\"beforeafter\"", "id=\"shifts\"", "id=\"foldover\"",
                             "id=\"parameters\"", "<svg", "data:image/png;base64,"}) {
        EXPECT_NE(dom.find(part), std::string::npos) << part;
    }
}

TEST(Browser, TheNetworkCheckSeesARequestOfThePage) {
    // The check above must be able to fail: a page that refers to the network is caught.
    if (!haveChromium()) GTEST_SKIP() << "chromium is not installed";
    ScratchFolder scratch("browser-control");
    ondrift::testing::writeText(scratch / "page.html",
                                "<html><body><img src=\"http://ondrift.invalid/x.png\">"
                                "</body></html>");
    ASSERT_EQ(chromium(scratch, "p",
                       "--log-net-log=\"" + (scratch / "net.json") + "\" --dump-dom \"file://" +
                           (scratch / "page.html") + "\" >/dev/null"),
              0);
    const auto urls = pageRequests(readText(scratch.path() / "net.json"));
    ASSERT_FALSE(urls.empty());
    EXPECT_EQ(urls.front(), "http://ondrift.invalid/x.png");
}
