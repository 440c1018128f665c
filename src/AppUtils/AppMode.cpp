#include "AppUtils/AppMode.h"

#include <boost/filesystem.hpp>
#include "Utils/ExeName.h"
#include "Utils/StringUtils.h"

namespace AppUtils
{

bool g_moduleMode = false;

const char* const c_debugModeMarker = "debug.mode";

bool IsDebugMode()
{
    const boost::filesystem::path exe(Utils::WStringToStdString(Utils::ExeName::Instance().GetExeName()));
    boost::system::error_code ec;
    const bool present = boost::filesystem::exists(exe.parent_path() / c_debugModeMarker, ec);
    // There is no console to open on this platform, whatever g_moduleMode says.
    return present && !ec;
}

} // namespace AppUtils
