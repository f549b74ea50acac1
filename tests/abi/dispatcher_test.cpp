// The frame of every command, the file dialogs and the refusal of overlong texts.
#include <string>

#include "plugin_fixture.h"

using Kind = ondrift::standin::DialogRecord::Kind;

TEST_F(PluginTest, UnknownCommandStillSucceedsInsideTheFrame) {
    run("start");
    ASSERT_EQ(log().size(), 4u);
    EXPECT_EQ(log()[0], "Welcome to the EPI distortion correction tool 'ondrift'.");
    EXPECT_EQ(log()[1], "Command received: start");
    EXPECT_EQ(log()[2], "Plugin> Received unknown command: \"start\".");
    EXPECT_EQ(log()[3], kSuccess);
    EXPECT_EQ(errorNr(), 0);
    EXPECT_FALSE(params().hasString("ErrorMsg"));
    EXPECT_EQ(session().logTabShown, 1);
}

TEST_F(PluginTest, OverlongCommandIsRefused) {
    run(std::string(100, 'x'));
    EXPECT_EQ(log().back(), kFailure);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("\"Command\""), std::string::npos);
    run(std::string(99, 'x'));
    EXPECT_EQ(errorNr(), 0);
}

TEST_F(PluginTest, OverlongFileNameIsRefused) {
    params().setString("RealFile", std::string(256, 'r') + ".fmr");
    params().setString("ImagFile", "i.fmr");
    run("CreatePolarFile");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("\"RealFile\""), std::string::npos);
    EXPECT_TRUE(session().dialogs.empty());
}

TEST_F(PluginTest, GetFilesStageOneAsksTwice) {
    params().setInt("FileTypeId", 21);
    params().setInt("FileStage", 1);
    params().setString("MagnFile", "old");
    answerPath("C:/data/phase.fmr");
    answerCancel();
    run("GetFiles");
    ASSERT_EQ(session().dialogs.size(), 2u);
    EXPECT_EQ(session().dialogs[0].kind, Kind::OpenFileName);
    EXPECT_EQ(session().dialogs[0].text, "Please select the wrapped phase datafile(s)");
    EXPECT_EQ(session().dialogs[0].filter, "*.fmr");
    EXPECT_EQ(session().dialogs[1].text, "Please select the magnitude datafile(s)");
    EXPECT_EQ(params().getString("WrPhaseFile"), "C:/data/phase.fmr");
    EXPECT_EQ(params().getString("MagnFile"), "old");
    EXPECT_EQ(params().getInt("NrOfFiles"), 1);
    EXPECT_EQ(errorNr(), 0);

    answerCancel();
    answerPath("m.fmr");
    run("GetFiles");
    EXPECT_EQ(params().getString("WrPhaseFile"), "C:/data/phase.fmr");
    EXPECT_EQ(params().getString("MagnFile"), "m.fmr");
    EXPECT_EQ(params().getInt("NrOfFiles"), 1);
}

TEST_F(PluginTest, GetFilesOtherStages) {
    struct Stage {
        int stage;
        const char* title;
        const char* parameter;
    };
    const Stage stages[] = {
        {2, "Please select the unwrapped datafile(s)", "UnwrPhaseFile"},
        {3, "Please select the B0 datafile(s)", "B0File"},
        {4, "Please select the pixelshift map(s)", "PixshiftFile"},
        {5, "Please select the EPI datafile(s)", "EPIFile"},
        {6, "Please select the anatomical image (*.vmr)", "VMRFile"},
    };
    params().setInt("FileTypeId", 20);
    for (const Stage& s : stages) {
        params().setInt("FileStage", s.stage);
        answerPath(std::string("file") + std::to_string(s.stage));
        run("GetFiles");
        ASSERT_EQ(session().dialogs.size(), 1u) << s.stage;
        EXPECT_EQ(session().dialogs[0].text, s.title);
        EXPECT_EQ(session().dialogs[0].filter, "*.vmr");
        EXPECT_EQ(params().getString(s.parameter), "file" + std::to_string(s.stage));
        EXPECT_EQ(params().getInt("NrOfFiles"), 1);
    }
    for (int stage : {0, 7}) {
        params().setInt("FileStage", stage);
        run("GetFiles");
        EXPECT_TRUE(session().dialogs.empty());
        EXPECT_EQ(params().getInt("NrOfFiles"), 0);
        EXPECT_EQ(errorNr(), 0);
    }
}

TEST_F(PluginTest, GetFile) {
    params().setInt("FileTypeId", 999);
    answerPath("/data/any.xyz");
    run("GetFile");
    ASSERT_EQ(session().dialogs.size(), 1u);
    EXPECT_EQ(session().dialogs[0].text, "Please select the file");
    EXPECT_EQ(session().dialogs[0].filter, "*.");
    EXPECT_EQ(params().getString("FileName"), "/data/any.xyz");
    EXPECT_TRUE(logged("Selected filename: "));
    EXPECT_TRUE(logged("/data/any.xyz"));

    answerCancel();
    run("GetFile");
    EXPECT_EQ(params().getString("FileName"), "/data/any.xyz");
    EXPECT_EQ(errorNr(), 0);
    EXPECT_EQ(log().back(), kSuccess);
}

TEST_F(PluginTest, LongPathFromDialogIsKeptWhole) {
    params().setInt("FileTypeId", 21);
    const std::string path = "/" + std::string(498, 'p') + "x";  // 500 characters
    answerPath(path + "overflow");
    run("GetFile");
    EXPECT_EQ(params().getString("FileName"), path);
}
