#include "SarvikAppSetup/AppSetupParams.h"

#include "ESS/Assert.h"

namespace SarvikAppSetup
{

AppSetupParams::AppSetupParams(const std::wstring& cfgName, const std::wstring& brandName,
                               const std::wstring& bridgeType, const AppUtils::SarvikAppMode& mode,
                               const VdiMode& vdiMode, const boost::filesystem::path& base)
    : m_cfgName(cfgName), m_brandName(brandName), m_bridgeType(bridgeType), m_mode(mode), m_vdiMode(vdiMode),
      m_base(base)
{
    if (AppUtils::IsVdiRunningMode(m_mode))
    {
        ESS_ASSERT(m_vdiMode != VdiMode::NonActive);
        ESS_ASSERT(m_bridgeType.empty());
    }
}

const VdiMode& AppSetupParams::GetVdiMode() const
{
    ESS_ASSERT(AppUtils::IsVdiRunningMode(m_mode));
    return m_vdiMode;
}

} // namespace SarvikAppSetup
