#pragma once
#include "YrMeta/SmartEnum.h"

namespace AppUtils
{

// The running mode of the application family.
YRMETA_SMART_ENUM(SarvikAppMode, (Zuzazador, 0), (Bridge, 1), (VdiModule, 2), (VdiModuleVantrel, 3));

inline bool IsVdiRunningMode(const SarvikAppMode& mode)
{
    return mode == SarvikAppMode::VdiModule || mode == SarvikAppMode::VdiModuleVantrel;
}

// Set by a start-up that runs inside somebody else's process (the plug-in): the application then
// never opens a console by itself, debug mode or not.
extern bool g_moduleMode;

// True when the marker file "debug.mode" lies next to the executable (Utils::ExeName, which must
// be initialised). Debug mode enables the abnormal-exit record and the log root's debug flag.
bool IsDebugMode();

// The name of the debug-mode marker.
extern const char* const c_debugModeMarker;

} // namespace AppUtils
