#pragma once
#include <string>
#include <boost/filesystem/path.hpp>
#include "AppUtils/AppMode.h"
#include "SarvikAppSetup/VdiMode.h"

namespace SarvikAppSetup
{

// What the application is set up with. A VDI running mode (VdiModule, VdiModuleVantrel) needs a VDI
// mode other than NonActive and no bridge type (both asserted).
class AppSetupParams
{
public:
    // cfgName: the configuration file next to the executable ("config.ini"); brandName: the brand
    // file (read only by the softphone and bridge modes); bridgeType: the bridge's kind (bridge mode
    // only); base: the base path of the running mode, a file (its folder is used) or a folder.
    AppSetupParams(const std::wstring& cfgName, const std::wstring& brandName, const std::wstring& bridgeType,
                   const AppUtils::SarvikAppMode& mode, const VdiMode& vdiMode,
                   const boost::filesystem::path& base);

    const std::wstring& ConfigName() const { return m_cfgName; }
    const std::wstring& BrandName() const { return m_brandName; }
    const std::wstring& BridgeType() const { return m_bridgeType; }
    const AppUtils::SarvikAppMode& Mode() const { return m_mode; }
    const boost::filesystem::path& Base() const { return m_base; }

    // Only in a VDI running mode (asserted).
    const VdiMode& GetVdiMode() const;

private:
    std::wstring m_cfgName;
    std::wstring m_brandName;
    std::wstring m_bridgeType;
    AppUtils::SarvikAppMode m_mode;
    VdiMode m_vdiMode;
    boost::filesystem::path m_base;
};

} // namespace SarvikAppSetup
