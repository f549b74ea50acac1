// The classes and C exports a host sees. Laid out exactly as the host's plug-in interface
// declares them: no data members, virtual slots (destructor, execute, initPlugin) in this order.
#ifndef ONDRIFT_BINDING_PLUGIN_INTERFACE_H
#define ONDRIFT_BINDING_PLUGIN_INTERFACE_H

#if defined(_WIN32)
#if defined(ONDRIFT_BUILDING_PLUGIN)
#define ONDRIFT_EXPORT __declspec(dllexport)
#else
#define ONDRIFT_EXPORT __declspec(dllimport)
#endif
#else
#define ONDRIFT_EXPORT __attribute__((visibility("default")))
#endif

class ONDRIFT_EXPORT VelmoraPluginInterface {
public:
    VelmoraPluginInterface();
    VelmoraPluginInterface(const VelmoraPluginInterface&);
    VelmoraPluginInterface& operator=(const VelmoraPluginInterface&);
    virtual ~VelmoraPluginInterface();
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};

class ONDRIFT_EXPORT distortioncorrector : public VelmoraPluginInterface {
public:
    distortioncorrector();
    ~distortioncorrector() override;
    bool execute() override;
    bool initPlugin() override;
    /// One log entry, with the "ondrift > " prefix when asked; cut at 65,535 bytes.
    void logMessage(const char* text, bool withPrefix);
};

extern "C" {
ONDRIFT_EXPORT VelmoraPluginInterface* createPlugin(void);
ONDRIFT_EXPORT const char* getPluginName(void);
ONDRIFT_EXPORT const char* getPluginDescription(void);
ONDRIFT_EXPORT const char* getAuthor(void);
ONDRIFT_EXPORT const char* getHelpFile(void);
ONDRIFT_EXPORT const char* getPluginVersion(void);
ONDRIFT_EXPORT const char* getGUIScript(void);
}

#endif
