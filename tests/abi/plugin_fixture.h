// A loaded plug-in and a clean stand-in host for each test.
#ifndef ONDRIFT_TESTS_ABI_PLUGIN_FIXTURE_H
#define ONDRIFT_TESTS_ABI_PLUGIN_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/plugin_loader.h"
#include "host/standin.h"
#include "host/workspace.h"

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ondrift::standin::clearAll();
        session().version = {2, 6, 0};
        session().dialogMode = ondrift::standin::DialogMode::Scripted;
        ASSERT_TRUE(loader.open(ONDRIFT_PLUGIN_PATH)) << loader.error();
        ASSERT_TRUE(loader.create()) << loader.error();
    }

    static ondrift::standin::Session& session() { return ondrift::standin::session(); }
    ondrift::standin::ParameterStore& params() { return session().parameters; }

    /// Runs one command; the plug-in must answer true whatever happens.
    void run(const std::string& command) {
        params().setString("Command", command);
        session().log.clear();
        session().dialogs.clear();
        ASSERT_TRUE(loader.execute());
    }
    void answer(int number) {
        session().answers.push_back(ondrift::standin::DialogAnswer::withNumber(number));
    }
    void answerPath(const std::string& path) {
        session().answers.push_back(ondrift::standin::DialogAnswer::withPath(path));
    }
    void answerCancel() { session().answers.push_back(ondrift::standin::DialogAnswer::cancel()); }

    const std::vector<std::string>& log() { return session().log; }
    bool logged(const std::string& entry) {
        for (const auto& e : log()) {
            if (e == entry) return true;
        }
        return false;
    }
    int errorNr() { return params().getInt("ErrorNr"); }
    std::string errorMsg() { return params().getString("ErrorMsg"); }

    static constexpr const char* kSuccess =
        "Image processing finished successfully.\nPlease detach AMR of FMR files (via FMR "
        "Properties) to view results.";
    static constexpr const char* kFailure = "Image processing finished.";

    ondrift::standin::PluginLoader loader;
};

/// A plug-in test with an empty workspace whose saves (and AMR files of bare names) go to a
/// scratch folder of its own, removed afterwards.
class WorkspaceTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              (std::string("ondrift_") + info->test_suite_name() + "_" + info->name() + "_" +
               std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        ws().quiet = true;
        ws().outputDirectory = dir;
    }
    void TearDown() override {
        std::filesystem::current_path(previous);
        ondrift::standin::clearAll();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    static ondrift::standin::Workspace& ws() { return ondrift::standin::workspace(); }

    std::filesystem::path dir;
    std::filesystem::path previous;
};

#endif
