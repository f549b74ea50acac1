#include "host/plugin_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <filesystem>

#include "binding/plugin_interface.h"

namespace ondrift::standin {
namespace {

constexpr const char* kExports[] = {"createPlugin", "getPluginName", "getPluginDescription",
                                    "getAuthor",    "getHelpFile",   "getPluginVersion",
                                    "getGUIScript"};

// The few calls of the platform's library loader, so that one loader serves the POSIX hosts and
// the Windows test host alike.
#if defined(_WIN32)
void* openLibrary(const std::string& path) { return LoadLibraryA(path.c_str()); }
void* findSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void closeLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
std::string lastLoadError() { return "error " + std::to_string(GetLastError()); }
std::filesystem::path executablePath(std::error_code& ec) {
    char buffer[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) ec = std::make_error_code(std::errc::filename_too_long);
    return std::filesystem::path(buffer);
}
constexpr const char* kLibraryFile = "ondriftv11.dll";
#else
void* openLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* findSymbol(void* handle, const char* name) { return dlsym(handle, name); }
void closeLibrary(void* handle) { dlclose(handle); }
std::string lastLoadError() {
    const char* why = dlerror();
    return why != nullptr ? why : "unknown";
}
std::filesystem::path executablePath(std::error_code& ec) {
    return std::filesystem::read_symlink("/proc/self/exe", ec);
}
constexpr const char* kLibraryFile = "libondriftv11.so";
#endif

}  // namespace

PluginLoader::~PluginLoader() { close(); }

bool PluginLoader::open(const std::string& libraryPath) {
    close();
    handle_ = openLibrary(libraryPath);
    if (handle_ == nullptr) {
        error_ = "cannot load the plug-in library " + libraryPath + ": " + lastLoadError();
        return false;
    }
    for (const char* name : kExports) {
        if (findSymbol(handle_, name) == nullptr) {
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
    auto factory =
        reinterpret_cast<VelmoraPluginInterface* (*)()>(findSymbol(handle_, "createPlugin"));
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
    if (handle_ != nullptr) closeLibrary(handle_);
    handle_ = nullptr;
}

void* PluginLoader::symbol(const char* name) const {
    return handle_ != nullptr ? findSymbol(handle_, name) : nullptr;
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
    const auto self = executablePath(ec);
    const auto dir = ec ? std::filesystem::current_path() : self.parent_path();
    return (dir / kLibraryFile).string();
}

}  // namespace ondrift::standin
