// Loads the built plug-in library the way a real host does: dlopen, check the exports, create
// the object, initialise it, run commands, destroy it through the base class.
#ifndef ONDRIFT_HOST_PLUGIN_LOADER_H
#define ONDRIFT_HOST_PLUGIN_LOADER_H

#include <string>

class VelmoraPluginInterface;

namespace ondrift::standin {

class PluginLoader {
public:
    PluginLoader() = default;
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;
    ~PluginLoader();

    /// Opens the library and checks that all seven exports are present. False with `error()`
    /// set when the file cannot be loaded or an export is missing.
    bool open(const std::string& libraryPath);
    /// createPlugin, then initPlugin. False when either fails.
    bool create();
    /// One command; the plug-in's answer (it always answers true).
    bool execute();
    /// Deletes the plug-in object (if any).
    void destroy();
    /// Closes the library (after destroying the object).
    void close();

    bool initResult() const { return initResult_; }
    const std::string& error() const { return error_; }
    VelmoraPluginInterface* plugin() const { return plugin_; }

    /// The descriptive exports; null when the library is not open.
    const char* pluginName() const;
    const char* pluginDescription() const;
    const char* author() const;
    const char* helpFile() const;
    const char* pluginVersion() const;
    const char* guiScript() const;

    /// Looks up any symbol of the open library (for export checks).
    void* symbol(const char* name) const;

    /// The plug-in library next to the running executable, or $ONDRIFT_PLUGIN when set.
    static std::string defaultLibraryPath();

private:
    using Text = const char* (*)();
    const char* callText(const char* name) const;

    void* handle_ = nullptr;
    VelmoraPluginInterface* plugin_ = nullptr;
    bool initResult_ = false;
    std::string error_;
};

}  // namespace ondrift::standin

#endif
