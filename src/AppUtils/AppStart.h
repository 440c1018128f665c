#pragma once
#include <memory>
#include "Utils/IBasicInterface.h"

// Starts the in-process application, once per process: records the executable name and command
// line (Utils::ExeName with the separators "{" and "}"), sets "QT_BEARER_POLL_TIMEOUT" to "-1",
// runs the deferred initialisers, writes the start banner to the debug log, and installs the
// exception hook (every exception and assertion is logged where it is raised) and the Qt message
// hook (every Qt message goes to the log node "QtMsg"). The returned object owns both hooks:
// destroying it removes them and gives Qt back its previous message handler, so that nothing of
// ours is called once the module is gone.
std::unique_ptr<Utils::IVirtualDestroy> AppStartWithAsyncDest(int argc, char** argv);

namespace AppUtils
{
using ::AppStartWithAsyncDest;

// The tags of Qt messages, by QtMsgType: "QtInfo" 7, "QtDebug" 7, "QtWarning" 5, "QtCritical" 2,
// "QtFatal" 2 (made by a deferred initialiser).
namespace details
{
int QtMsgTagLevel(int qtMsgType);
}
} // namespace AppUtils
