#pragma once
#include <memory>
#include <boost/noncopyable.hpp>
#include "AppUtils/AppConfig.h"
#include "AppUtils/AppPaths.h"
#include "SarvikAppSetup/AppSetupParams.h"

namespace SarvikAppSetup
{

// The process-wide application set-up: its parameters, its folders and its configuration (also
// reachable as AppUtils::AppConfigInstance). Made once by AppSetupInstanceSet; never destroyed.
class AppSetup : boost::noncopyable
{
public:
    const AppSetupParams& GetParams() const { return m_params; }
    const AppUtils::AppPaths& GetPaths() const;
    AppUtils::AppConfig& GetConfig() const { return *m_config; }

    // Made only by AppSetupInstanceSet.
    explicit AppSetup(const AppSetupParams& params);

private:
    AppSetupParams m_params;
    std::unique_ptr<AppUtils::AppPaths> m_paths;
    std::unique_ptr<AppUtils::AppConfig> m_config;
};

// Once per process (fatal when done before): the folders from the executable name (Utils::ExeName
// must be initialised) and the parameters, and the configuration from the file named in the
// parameters, next to the executable. A malformed configuration file throws and leaves nothing set.
void AppSetupInstanceSet(const AppSetupParams& params);

// Fatal before AppSetupInstanceSet.
AppSetup& AppSetupInstance();
bool AppSetupInstanceExists();

} // namespace SarvikAppSetup
