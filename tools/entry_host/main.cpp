// Host program of the named entries: records its executable name, runs the deferred
// initialisers, then runs the entry chosen with "/entry NAME ARGS..." or prints the help.
#include <cstring>
#include <iostream>
#include <QTextCodec>
#include "Utils/AppEntry.h"
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "Utils/StringUtils.h"

int main(int argc, char** argv)
{
    Utils::SetupLocaleCodePage();
    Utils::ExeName::Init(argc, argv, "{", "}");
    Utils::DelayInitHost::Instance().DoInit();

    const Utils::ExeName& exe = Utils::ExeName::Instance();
    const int count = exe.MainArgc();
    char** args = exe.MainArgv();

    for (int i = 1; i < count; ++i)
    {
        if (std::strcmp(args[i], Utils::c_appEntrySwitch) != 0)
        {
            continue;
        }
        if (i + 1 >= count)
        {
            std::cerr << "No entry name after " << Utils::c_appEntrySwitch << std::endl;
            break;
        }
        const std::string name = args[i + 1];
        const Utils::ArgStringList params(args + i + 2, args + count);
        const boost::optional<int> res = Utils::RunEntry(name, params);
        if (res)
        {
            return *res;
        }
        std::cerr << "Unknown entry: " << name << std::endl;
        break;
    }

    // No entry chosen (or an unknown one): the registry's help, and an exit code that says which.
    Utils::RunEntry(Utils::c_appEntryHelpName, Utils::ArgStringList());
    for (int i = 1; i < count; ++i)
    {
        if (std::strcmp(args[i], Utils::c_appEntrySwitch) == 0)
        {
            return 2;
        }
    }
    return 0;
}
