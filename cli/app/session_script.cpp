#include "cli/app/session_script.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "cli/app/commands.h"
#include "cli/base/errors.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/nifti/nifti_file.h"
#include "cli/session/document_import.h"
#include "cli/session/plugin_session.h"
#include "cli/session/scanner_position.h"
#include "host/disk_flush.h"
#include "host/project_files.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

std::vector<std::string> splitScriptLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == '#' && !inWord) {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) throw InputError("unterminated quote");
    if (inWord) words.push_back(word);
    return words;
}

namespace {

/// The state of one running script.
class Interpreter {
public:
    Interpreter(fs::path base, std::string pluginPath, Reporter& reporter)
        : base_(std::move(base)), pluginPath_(std::move(pluginPath)), reporter_(reporter) {
        auto& ws = standin::workspace();
        ws.clear();
        ws.quiet = true;
        ws.keepSaveValues = false;
        folder_ = fs::current_path();
        ws.outputDirectory = folder_;
        standin::session().clearRecords();
    }
    ~Interpreter() { standin::workspace().clear(); }

    void line(const std::vector<std::string>& w) {
        const std::string& verb = w[0];
        if (verb != "expect" && pendingFailure_) failUnexpected();
        if (verb == "folder") return setFolder(w);
        if (verb == "open") return open(w);
        if (verb == "set") return set(w);
        if (verb == "answer") return answer(w);
        if (verb == "execute") return execute(w);
        if (verb == "expect") return expect(w);
        if (verb == "print") return print(w);
        if (verb == "export") return exportNifti(w);
        throw InputError("unknown command \"" + verb + "\"");
    }

    void finish() {
        if (pendingFailure_) failUnexpected();
    }

private:
    fs::path path(const std::string& p) const {
        const fs::path f(p);
        return f.is_absolute() ? f : base_ / f;
    }

    static void arity(const std::vector<std::string>& w, std::size_t lo, std::size_t hi,
                      const char* usage) {
        if (w.size() < lo || w.size() > hi) throw InputError(std::string("usage: ") + usage);
    }

    static int integer(const std::string& text) {
        std::size_t used = 0;
        int v = 0;
        try {
            v = std::stoi(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text.size() || text.empty())
            throw InputError("\"" + text + "\" is not an integer");
        return v;
    }

    static float number(const std::string& text) {
        std::size_t used = 0;
        float v = 0;
        try {
            v = std::stof(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text.size() || text.empty())
            throw InputError("\"" + text + "\" is not a number");
        return v;
    }

    PluginSession& plugin() {
        if (!plugin_) plugin_ = std::make_unique<PluginSession>(pluginPath_, reporter_);
        return *plugin_;
    }

    void setFolder(const std::vector<std::string>& w) {
        arity(w, 2, 2, "folder DIR");
        folder_ = path(w[1]);
        std::error_code ec;
        fs::create_directories(folder_, ec);
        if (ec) throw ProcessingError(folder_.string() + ": cannot create the folder");
        standin::workspace().outputDirectory = folder_;
    }

    void open(const std::vector<std::string>& w) {
        arity(w, 3, 4, "open fmr|vmr FILE [NAME]");
        const std::string kind = w[1];
        if (kind != "fmr" && kind != "vmr")
            throw InputError("open: fmr or vmr, not \"" + kind + "\"");
        const fs::path file = path(w[2]);
        auto& ws = standin::workspace();
        int index = -1;
        if (hasNiftiExtension(file.string())) {
            NiftiImage image = readNifti(file.string(), {}, &reporter_);
            const std::string name = w.size() > 3 ? w[3] : niftiStem(file.string()) + "." + kind;
            index = kind == "fmr" ? importFmr(image, name) : importVmr(image, name);
            niftiInputs_.push_back({index, image.geometry});
        } else {
            if (w.size() > 3) throw InputError("open: a project keeps its own name");
            const standin::OpenResult r = kind == "fmr" ? standin::openFmrProject(ws, file)
                                                        : standin::openVmrProject(ws, file);
            if (!r) throw InputError(r.error);
            index = r.index;
        }
        reporter_.step("Opened " + ws.name(index) + " as document " + std::to_string(index));
    }

    void set(const std::vector<std::string>& w) {
        arity(w, 4, 4, "set string|int|float NAME VALUE");
        auto& p = standin::session().parameters;
        if (w[1] == "string") {
            p.setString(w[2], w[3]);
        } else if (w[1] == "int") {
            p.setInt(w[2], integer(w[3]));
        } else if (w[1] == "float") {
            p.setFloat(w[2], number(w[3]));
        } else {
            throw InputError("set: string, int or float, not \"" + w[1] + "\"");
        }
    }

    int documentIndex(const std::string& nameOrIndex) const {
        const auto& ws = standin::workspace();
        for (int i = 0; i < ws.size(); ++i) {
            if (ws.name(i) == nameOrIndex) return i;
        }
        // Projects opened from files carry their path; their file name alone also names them.
        for (int i = 0; i < ws.size(); ++i) {
            if (fs::path(ws.name(i)).filename() == nameOrIndex) return i;
        }
        if (!nameOrIndex.empty() &&
            nameOrIndex.find_first_not_of("0123456789") == std::string::npos) {
            return integer(nameOrIndex);
        }
        throw InputError("no open document is named \"" + nameOrIndex + "\"");
    }

    void answer(const std::vector<std::string>& w) {
        arity(w, 2, 3, "answer doc NAME | number N | path FILE | cancel");
        auto& answers = standin::session().answers;
        if (w[1] == "cancel" && w.size() == 2) {
            answers.push_back(standin::DialogAnswer::cancel());
        } else if (w[1] == "doc" && w.size() == 3) {
            answers.push_back(standin::DialogAnswer::withNumber(documentIndex(w[2])));
        } else if (w[1] == "number" && w.size() == 3) {
            answers.push_back(standin::DialogAnswer::withNumber(integer(w[2])));
        } else if (w[1] == "path" && w.size() == 3) {
            answers.push_back(standin::DialogAnswer::withPath(path(w[2]).string()));
        } else {
            throw InputError("usage: answer doc NAME | number N | path FILE | cancel");
        }
    }

    void execute(const std::vector<std::string>& w) {
        arity(w, 2, 2, "execute COMMAND");
        reporter_.step("Executing \"" + w[1] + "\"");
        PluginSession& p = plugin();
        {
            WorkingDirectory there(folder_);  // the plug-in writes its AMR files here
            last_ = p.execute(w[1]);
        }
        lastCommand_ = w[1];
        if (!last_.ok) pendingFailure_ = true;
        if (last_.answersLeft > 0) {
            reporter_.warning(std::to_string(last_.answersLeft) +
                              " queued answers were not asked for; "
                              "they are dropped");
            standin::session().answers.clear();
        }
    }

    void failUnexpected() {
        pendingFailure_ = false;
        throw ProcessingError("\"" + lastCommand_ + "\" failed: " + last_.errorMessage);
    }

    void expect(const std::vector<std::string>& w) {
        arity(w, 2, 4, "expect ok | expect error [TEXT] | expect param NAME VALUE");
        if (w[1] == "ok" && w.size() == 2) {
            if (!last_.ok) failUnexpected();
        } else if (w[1] == "error") {
            if (last_.ok)
                throw ProcessingError("expected \"" + lastCommand_ +
                                      "\" to fail, but it succeeded");
            if (w.size() == 3 && last_.errorMessage.find(w[2]) == std::string::npos) {
                throw ProcessingError("\"" + lastCommand_ + "\" failed with \"" +
                                      last_.errorMessage + "\", not \"" + w[2] + "\"");
            }
            pendingFailure_ = false;
        } else if (w[1] == "param" && w.size() == 4) {
            const std::string value = parameterText(w[2]);
            if (value != w[3]) {
                throw ProcessingError("parameter " + w[2] + " is \"" + value + "\", not \"" + w[3] +
                                      "\"");
            }
        } else {
            throw InputError("usage: expect ok | expect error [TEXT] | expect param NAME VALUE");
        }
    }

    static std::string parameterText(const std::string& name) {
        const auto& p = standin::session().parameters;
        if (p.hasString(name)) return p.getString(name);
        if (p.hasInt(name)) return std::to_string(p.getInt(name));
        if (p.hasFloat(name)) {
            char text[64];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(p.getFloat(name)));
            return text;
        }
        return "";
    }

    void print(const std::vector<std::string>& w) {
        if (w.size() == 3 && w[1] == "param") {
            std::printf("%s = %s\n", w[2].c_str(), parameterText(w[2]).c_str());
        } else if (w.size() == 2 && w[1] == "log") {
            for (const auto& entry : standin::session().log) std::printf("%s\n", entry.c_str());
        } else if (w.size() == 2 && w[1] == "documents") {
            const auto& ws = standin::workspace();
            for (int i = 0; i < ws.size(); ++i) std::printf("%d %s\n", i, ws.name(i).c_str());
        } else if (w.size() == 2 && w[1] == "saves") {
            for (const auto& s : standin::workspace().saves()) {
                std::printf("%s %s\n", s.result > 0 ? "saved" : "refused",
                            s.fmrPath.string().c_str());
            }
        } else {
            throw InputError("usage: print param NAME | print log | print documents | print saves");
        }
        std::fflush(stdout);
    }

    void exportNifti(const std::vector<std::string>& w) {
        const bool like = w.size() == 6 && w[4] == "like";
        if (w.size() < 4 || w[1] != "nifti" || (w.size() != 4 && !like)) {
            throw InputError("usage: export nifti PROJECT.fmr OUT.nii[.gz] [like DOCUMENT]");
        }
        fs::path project(w[2]);
        if (!project.is_absolute()) project = folder_ / project;
        std::string error;
        const auto doc = standin::readFmrProject(project, error);
        if (!doc) throw InputError(error);
        NiftiGeometry geometry;
        const int likeIndex = like ? documentIndex(w[5]) : -1;
        for (const auto& [index, g] : niftiInputs_) {
            const bool fits =
                g.nx() == doc->columns() && g.ny() == doc->rows() && g.nz() == doc->slices();
            if (fits && (!like || index == likeIndex) && !geometry.valid()) geometry = g;
        }
        if (like && !geometry.valid()) {
            throw InputError("export: " + w[5] + " is no NIfTI input on the grid of " + w[2]);
        }
        if (!geometry.valid()) {
            geometry = makeGeometry({doc->columns(), doc->rows(), doc->slices(), 1},
                                    affineFromPosition(doc->position, doc->slices()));
        }
        std::vector<float> values;
        for (int t = 0; t < doc->volumes(); ++t) {
            if (doc->dataType() == kFmrFloat32) {
                const auto v = doc->floatVolume(t);
                values.insert(values.end(), v.begin(), v.end());
            } else {
                for (short s : doc->intVolume(t)) values.push_back(s);
            }
        }
        const fs::path out = path(w[3]);
        const fs::path temporary = out.parent_path() / (".part-" + out.filename().string());
        writeNifti(temporary.string(), geometry, std::max(doc->volumes(), 1), values, &reporter_);
        error.clear();
        if (!standin::flushFile(temporary, error) || !standin::renameFile(temporary, out, error) ||
            !standin::flushFolder(out.parent_path(), error)) {
            throw ProcessingError(error);
        }
        reporter_.step("Exported " + out.string());
    }

    fs::path base_;
    std::string pluginPath_;
    Reporter& reporter_;
    fs::path folder_;
    std::unique_ptr<PluginSession> plugin_;
    CommandOutcome last_{true, {}, 0, 0};
    std::string lastCommand_;
    bool pendingFailure_ = false;
    std::vector<std::pair<int, NiftiGeometry>> niftiInputs_;
};

/// std::getline, except that it stops one character past the longest line accepted: a script
/// is read from anywhere, even a pipe or device that never sends a line end.
bool readScriptLine(std::istream& in, std::string& text) {
    text.clear();
    bool any = false;
    for (int c = in.get(); c != std::char_traits<char>::eof(); c = in.get()) {
        any = true;
        if (c == '\n') return true;
        text += static_cast<char>(c);
        if (text.size() > kMaxScriptLineBytes) return true;
    }
    return any;
}

}  // namespace

void runSessionScript(std::istream& in, const std::string& name, const fs::path& baseFolder,
                      const std::string& pluginPath, Reporter& reporter) {
    Interpreter interpreter(baseFolder, pluginPath, reporter);
    std::string text;
    int number = 0;
    auto where = [&] { return name + ":" + std::to_string(number) + ": "; };
    while (readScriptLine(in, text)) {
        ++number;
        if (text.size() > kMaxScriptLineBytes) {
            throw InputError(where() + "line longer than " + std::to_string(kMaxScriptLineBytes) +
                             " characters");
        }
        std::vector<std::string> words;
        try {
            words = splitScriptLine(text);
            if (words.empty()) continue;
            interpreter.line(words);
        } catch (const InputError& e) {
            throw InputError(where() + e.what());
        } catch (const ProcessingError& e) {
            throw ProcessingError(where() + e.what());
        }
    }
    ++number;
    try {
        interpreter.finish();
    } catch (const ProcessingError& e) {
        throw ProcessingError(name + ": at the end: " + e.what());
    }
}

int runScript(const RunOptions& options, Reporter& reporter) {
    if (options.script == "-") {
        runSessionScript(std::cin, "<stdin>", fs::current_path(), options.plugin, reporter);
        return kExitSuccess;
    }
    std::ifstream in(options.script);
    if (!in) throw InputError(options.script + ": cannot read the script");
    const fs::path base = fs::absolute(options.script).parent_path();
    runSessionScript(in, options.script, base, options.plugin, reporter);
    return kExitSuccess;
}

}  // namespace ondrift::cli
