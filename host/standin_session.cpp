#include <iostream>
#include <string>

#include "host/standin.h"

namespace ondrift::standin {

std::string ParameterStore::getString(const std::string& name) const {
    auto it = strings_.find(name);
    return it == strings_.end() ? std::string() : it->second;
}

int ParameterStore::getInt(const std::string& name) const {
    auto it = ints_.find(name);
    return it == ints_.end() ? 0 : it->second;
}

float ParameterStore::getFloat(const std::string& name) const {
    auto it = floats_.find(name);
    return it == floats_.end() ? 0.0f : it->second;
}

void ParameterStore::clear() {
    strings_.clear();
    ints_.clear();
    floats_.clear();
}

void Session::clearRecords() {
    log.clear();
    messageBoxes.clear();
    dialogs.clear();
    answers.clear();
    busyShown = busyStopped = logTabShown = windowUpdates = 0;
    parameters.clear();
}

DialogAnswer Session::nextAnswer(const DialogRecord& dialog) {
    if (!answers.empty()) {
        DialogAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    if (dialogMode == DialogMode::Scripted) return DialogAnswer::cancel();
    std::cerr << dialog.text << "\n";
    if (dialog.kind == DialogRecord::Kind::IntegerInput) {
        std::cerr << "Enter a number (empty to cancel): " << std::flush;
    } else {
        std::cerr << "Enter a path for " << dialog.filter << " (empty to cancel): " << std::flush;
    }
    std::string line;
    if (!std::getline(std::cin, line) || line.empty()) return DialogAnswer::cancel();
    if (dialog.kind == DialogRecord::Kind::OpenFileName) return DialogAnswer::withPath(line);
    try {
        std::size_t used = 0;
        const int n = std::stoi(line, &used);
        if (used == line.size()) return DialogAnswer::withNumber(n);
    } catch (const std::exception&) {
    }
    std::cerr << "Not a number; the dialog is cancelled.\n";
    return DialogAnswer::cancel();
}

Session& session() {
    static Session instance;
    return instance;
}

}  // namespace ondrift::standin
