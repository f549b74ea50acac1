#include "plugin/dispatcher.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "binding/host_parameters.h"
#include "binding/log.h"
#include "image/display_funcs.h"
#include "image/helper_tools.h"
#include "pipeline/evaluation.h"
#include "pipeline/phase_preparation.h"
#include "plugin/call_state.h"
#include "plugin/procedure_runner.h"

namespace ondrift {

bool readBoundedParameter(const char* name, std::size_t capacity, CallState& call,
                          std::string& value) {
    value = host::getStringParameter(name);
    if (value.size() < capacity) return true;
    char message[kErrorTextBytes];
    std::snprintf(message, sizeof message,
                  "The parameter \"%s\" is longer than %zu characters and was refused.", name,
                  capacity - 1);
    logText(message);
    call.fail(message);
    return false;
}

namespace {

struct FileStage {
    int stage;
    const char* title;
    const char* parameter;
};

// Stage 1 asks twice; every other stage once.
constexpr FileStage kStages[] = {
    {1, "Please select the wrapped phase datafile(s)", "WrPhaseFile"},
    {1, "Please select the magnitude datafile(s)", "MagnFile"},
    {2, "Please select the unwrapped datafile(s)", "UnwrPhaseFile"},
    {3, "Please select the B0 datafile(s)", "B0File"},
    {4, "Please select the pixelshift map(s)", "PixshiftFile"},
    {5, "Please select the EPI datafile(s)", "EPIFile"},
    {6, "Please select the anatomical image (*.vmr)", "VMRFile"},
};

void getFiles() {
    int count = 0;
    const int fileTypeId = host::getIntParameter("FileTypeId");
    const int stage = host::getIntParameter("FileStage");
    const displayFuncs dialogs;
    for (const FileStage& s : kStages) {
        if (s.stage != stage) continue;
        std::vector<std::string> files;
        count += dialogs.selectFiles(s.title, files, fileTypeId);
        if (!files.empty()) host::setStringParameter(s.parameter, files.front().c_str());
    }
    host::setIntParameter("NrOfFiles", count);
}

void getFile() {
    const int fileTypeId = host::getIntParameter("FileTypeId");
    const std::string filter = helperTools().extensionOfType(fileTypeId, true);
    char path[kHostOpenFileNameBytes] = {};
    if (host::getOpenFileName("Please select the file", "", filter.c_str(), path) > 0) {
        host::setStringParameter("FileName", path);
        logText("Selected filename: ");
        logText(path);
    }
}

void evaluate(CallState& call) {
    if (!createDifferenceImage()) call.fail("Evaluation procedure did not succeed.");
}

void createPolarFile(CallState& call) {
    std::string realFile;
    std::string imagFile;
    if (!readBoundedParameter("RealFile", kFileNameBytes, call, realFile)) return;
    if (!readBoundedParameter("ImagFile", kFileNameBytes, call, imagFile)) return;
    if (!createPolarFiles(realFile.c_str(), imagFile.c_str())) {
        call.fail("Conversion to polar representation did not succeed.");
    }
}

void dispatch(const std::string& command, CallState& call) {
    if (command == "GetFiles") {
        getFiles();
    } else if (command == "Start") {
        runProcedure(call);
    } else if (command == "GetFile") {
        getFile();
    } else if (command == "Evaluate") {
        evaluate(call);
    } else if (command == "CreatePolarFile") {
        createPolarFile(call);
    } else {
        logFormat("Plugin> Received unknown command: \"%s\".", command.c_str());
    }
}

}  // namespace

bool executeCommand() {
    CallState call;
    try {
        host::showLogTab();
        logText("Welcome to the EPI distortion correction tool 'ondrift'.");
        const std::string command = host::getStringParameter(parameter::kCommand);
        logFormat("Command received: %s", command.c_str());
        if (command.size() >= kCommandBytes) {
            char message[kErrorTextBytes];
            std::snprintf(message, sizeof message,
                          "The parameter \"Command\" is longer than %zu characters and was "
                          "refused.",
                          kCommandBytes - 1);
            logText(message);
            call.fail(message);
        } else {
            dispatch(command, call);
        }
    } catch (const std::bad_alloc&) {
        call.fail("Not enough memory to complete the command.");
        logText(call.errorText);
    } catch (const std::exception& e) {
        call.fail(std::string("Internal error: ") + e.what());
        logText(call.errorText);
    } catch (...) {
        call.fail("Internal error.");
        logText(call.errorText);
    }
    if (call.status) {
        logText(
            "Image processing finished successfully.\nPlease detach AMR of FMR files (via FMR "
            "Properties) to view results.");
        host::setIntParameter(parameter::kErrorNr, 0);
    } else {
        logText("Image processing finished.");
        host::setIntParameter(parameter::kErrorNr, -1);
        host::setStringParameter(parameter::kErrorMsg, call.errorText.c_str());
    }
    return true;
}

}  // namespace ondrift
