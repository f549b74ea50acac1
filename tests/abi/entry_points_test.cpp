// The plug-in as a host sees it: exports, descriptive texts, version rule.
#include <gtest/gtest.h>

#include <cstring>

#include "binding/plugin_interface.h"
#include "host/plugin_loader.h"
#include "host/standin.h"

using ondrift::standin::PluginLoader;
using ondrift::standin::session;

namespace {

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        session().clearRecords();
        session().version = {2, 6, 0};
        ASSERT_TRUE(loader.open(ONDRIFT_PLUGIN_PATH)) << loader.error();
    }
    PluginLoader loader;
};

TEST_F(EntryPoints, DescriptiveTexts) {
    EXPECT_STREQ(loader.pluginName(), "ondrift (v1.1.0)");
    EXPECT_STREQ(loader.pluginDescription(),
                 "Fieldmap-based EPI distortion correction using the pixelshift algorithm "
                 "(Jezzard & Balaban, 1995).<BR>Please consult the manual (PDF) for usage and "
                 "background information.<BR>");
    EXPECT_STREQ(loader.helpFile(), "Located at the Velmora support site.");
    ASSERT_NE(loader.pluginVersion(), nullptr);
    EXPECT_STREQ(loader.pluginVersion(), "");
    EXPECT_STREQ(loader.guiScript(), "ondrift_v110.js");
    const char* author = loader.author();
    ASSERT_NE(author, nullptr);
    EXPECT_EQ(std::strncmp(author, "<i>", 3), 0);
    EXPECT_STREQ(author + std::strlen(author) - 4, "</i>");
}

TEST_F(EntryPoints, VersionRule) {
    struct Case {
        int major, minor, release;
        bool accepted;
    };
    const Case cases[] = {{2, 6, 0, true}, {2, 5, 99, false}, {3, 0, 0, true},  {3, 1, 0, true},
                          {2, 7, 0, true}, {1, 9, 9, false},  {2, 6, -1, false}};
    for (const Case& c : cases) {
        session().clearRecords();
        session().version = {c.major, c.minor, c.release};
        EXPECT_EQ(loader.create(), c.accepted) << c.major << "." << c.minor << "." << c.release;
        if (c.accepted) {
            EXPECT_TRUE(session().messageBoxes.empty());
        } else {
            ASSERT_EQ(session().messageBoxes.size(), 1u);
            EXPECT_EQ(session().messageBoxes[0],
                      "Can not execute this plugin - Velmora version 2.6 or higher required.");
        }
        EXPECT_TRUE(session().log.empty());
        loader.destroy();
    }
}

TEST_F(EntryPoints, SecondInitGivesSameResult) {
    ASSERT_TRUE(loader.create());
    EXPECT_TRUE(loader.plugin()->initPlugin());
}

}  // namespace
