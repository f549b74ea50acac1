#include "host/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "binding/plugin_interface.h"

namespace ondrift::standin {
namespace {

constexpr const char* kExports[] = {"createPlugin", "getPluginName", "getPluginDescription",
                                    "getAuthor",    "getHelpFile",   "getPluginVersion",
                                    "getGUIScript"};

}  // namespace

PluginLoader::~PluginLoader() { close(); }

bool PluginLoader::open(const std::string& libraryPath) {
    close();
    handle_ = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "cannot load the plug-in library " + libraryPath + ": " + (why ? why : "unknown");
        return false;
    }
    for (const char* name : kExports) {
        if (dlsym(handle_, name) == nullptr) {
            error_ = std::string("the plug-in library does not export ") + name;
            close();
            return false;
        }
    }
    return true;
}

bool PluginLoader::create() {
    destroy();
    if (handle_ == nullptr) {
        error_ = "no plug-in library is open";
        return false;
    }
    auto factory = reinterpret_cast<VelmoraPluginInterface* (*)()>(dlsym(handle_, "createPlugin"));
    plugin_ = factory();
    if (plugin_ == nullptr) {
        error_ = "createPlugin returned no object";
        return false;
    }
    initResult_ = plugin_->initPlugin();
    if (!initResult_) error_ = "initPlugin refused this host";
    return initResult_;
}

bool PluginLoader::execute() { return plugin_ != nullptr && plugin_->execute(); }

void PluginLoader::destroy() {
    delete plugin_;
    plugin_ = nullptr;
    initResult_ = false;
}

void PluginLoader::close() {
    destroy();
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

void* PluginLoader::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

const char* PluginLoader::callText(const char* name) const {
    auto fn = reinterpret_cast<Text>(symbol(name));
    return fn != nullptr ? fn() : nullptr;
}

const char* PluginLoader::pluginName() const { return callText("getPluginName"); }
const char* PluginLoader::pluginDescription() const { return callText("getPluginDescription"); }
const char* PluginLoader::author() const { return callText("getAuthor"); }
const char* PluginLoader::helpFile() const { return callText("getHelpFile"); }
const char* PluginLoader::pluginVersion() const { return callText("getPluginVersion"); }
const char* PluginLoader::guiScript() const { return callText("getGUIScript"); }

std::string PluginLoader::defaultLibraryPath() {
    if (const char* env = std::getenv("ONDRIFT_PLUGIN"); env != nullptr && *env != '\0') return env;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    const auto dir = ec ? std::filesystem::current_path() : self.parent_path();
    return (dir / "libondriftv11.so").string();
}

}  // namespace ondrift::standin
