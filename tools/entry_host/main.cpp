// Host program of the named entries: starts the application (executable name, deferred
// initialisers, exception and Qt message hooks), then runs the entry chosen with
// "/entry NAME ARGS..." or prints the help.
#include <cstring>
#include <iostream>
#include <memory>
#include "AppUtils/AppStart.h"
#include "Utils/AppEntry.h"
#include "Utils/ExeName.h"

namespace
{

int RunChosenEntry()
{
    const Utils::ExeName& exe = Utils::ExeName::Instance();
    const int count = exe.MainArgc();
    char** args = exe.MainArgv();

    bool entryAsked = false;
    for (int i = 1; i < count; ++i)
    {
        if (std::strcmp(args[i], Utils::c_appEntrySwitch) != 0)
            continue;
        entryAsked = true;
        if (i + 1 >= count)
        {
            std::cerr << "No entry name after " << Utils::c_appEntrySwitch << std::endl;
            break;
        }
        const std::string name = args[i + 1];
        const Utils::ArgStringList params(args + i + 2, args + count);
        const boost::optional<int> res = Utils::RunEntry(name, params);
        if (res)
            return *res;
        std::cerr << "Unknown entry: " << name << std::endl;
        break;
    }

    // No entry chosen (or an unknown one): the registry's help, and an exit code that says which.
    Utils::RunEntry(Utils::c_appEntryHelpName, Utils::ArgStringList());
    return entryAsked ? 2 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::unique_ptr<Utils::IVirtualDestroy> app = AppStartWithAsyncDest(argc, argv);
    return RunChosenEntry();
}
