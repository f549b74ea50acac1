// vxSaveFMRAndSTC: the current FMR document written as a new project, and every call recorded.
#include <string>
#include <system_error>

#include "host/project_files.h"

namespace ondrift::standin {

namespace fs = std::filesystem;

fs::path resolveOutputName(const Workspace& ws, const std::string& name) {
    const fs::path p(name);
    if (p.is_absolute() || ws.outputDirectory.empty()) return p;
    return ws.outputDirectory / p;
}

fs::path stcPathFor(const fs::path& fmrPath, const std::string& stcName) {
    // The plug-in passes the project name without extension, with its directory for 16-bit data
    // and without for float data; either way the data goes beside the project file.
    const auto cut = stcName.find_last_of("/\\");
    std::string base = cut == std::string::npos ? stcName : stcName.substr(cut + 1);
    if (base.empty()) base = fmrPath.stem().string();
    return fmrPath.parent_path() / (base + kStcExtension);
}

bool isInputFile(const Workspace& ws, const fs::path& file) {
    auto same = [&file](const fs::path& source) {
        if (source.empty()) return false;
        std::error_code ec;
        return fs::equivalent(file, source, ec) && !ec;
    };
    for (int i = 0; i < ws.size(); ++i) {
        if (const FmrDocument* f = ws.findFmr(i)) {
            if (same(f->sourceFile) || same(f->sourceStcFile)) return true;
        }
        if (const VmrDocument* v = ws.findVmr(i)) {
            if (same(v->sourceFile)) return true;
        }
    }
    return false;
}

namespace {

void takeSnapshot(const Workspace& ws, const FmrDocument& doc, SaveRecord& record) {
    record.header = doc.header;
    record.position = doc.position;
    record.columns = doc.columns();
    record.rows = doc.rows();
    record.slices = doc.slices();
    record.volumes = doc.volumes();
    record.dataType = doc.dataType();
    if (!ws.keepSaveValues) {
        record.live = ws.deferSaveValues;
        return;
    }
    for (int v = 0; v < doc.volumes(); ++v) {
        if (doc.dataType() == kFmrInt16) {
            const auto part = doc.intVolume(v);
            record.intValues.insert(record.intValues.end(), part.begin(), part.end());
        } else if (doc.dataType() == kFmrFloat32) {
            const auto part = doc.floatVolume(v);
            record.floatValues.insert(record.floatValues.end(), part.begin(), part.end());
        }
    }
}

int refuse(Workspace& ws, SaveRecord& record, std::string reason) {
    record.result = 0;
    record.live = false;
    record.error = reason;
    ws.reportError("vxSaveFMRAndSTC: " + reason);
    ws.recordSave(std::move(record));
    return 0;
}

}  // namespace

int saveCurrentFmr(Workspace& ws, const char* fmrFileName, const char* stcName) {
    SaveRecord record;
    record.fmrFileName = fmrFileName != nullptr ? fmrFileName : "";
    record.stcName = stcName != nullptr ? stcName : "";
    record.documentIndex = ws.current();
    const FmrDocument* doc = ws.currentFmr();
    if (doc == nullptr) return refuse(ws, record, "no FMR document is current");
    takeSnapshot(ws, *doc, record);
    if (record.fmrFileName.empty()) return refuse(ws, record, "no project file name given");

    const fs::path fmrPath = resolveOutputName(ws, record.fmrFileName);
    const fs::path stcPath = stcPathFor(fmrPath, record.stcName);
    record.fmrPath = fmrPath;
    record.stcPath = stcPath;
    if (fmrPath.filename().empty()) {
        return refuse(ws, record, fmrPath.string() + ": not a file name");
    }
    if (fmrPath.lexically_normal() == stcPath.lexically_normal()) {
        return refuse(ws, record, fmrPath.string() + ": project and STC data would be one file");
    }
    for (const fs::path& target : {fmrPath, stcPath}) {
        if (isInputFile(ws, target)) {
            return refuse(ws, record,
                          target.string() + " belongs to an open input document; not overwritten");
        }
    }
    std::string error;
    if (ws.writeProjects && !writeFmrProject(*doc, fmrPath, stcPath, error)) {
        return refuse(ws, record, error);
    }
    record.result = 1;
    ws.recordSave(std::move(record));
    return 1;
}

}  // namespace ondrift::standin
