#pragma once
#include <string>
#include <vector>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/optional.hpp>

namespace Utils
{

// The parameters of a named entry: the words after its name on the command line.
typedef std::vector<std::string> ArgStringList;

typedef boost::function<int(const ArgStringList&)> AppEntryFn;

} // namespace Utils

// Registers a named entry (a self-contained tool or test) from a static object of a unit. The
// entry reaches the registry when the start-up runs the deferred initialisers; a name registered
// twice halts there with "Duplicate AppEntry item: " + name.
class RegisterAppEntry : boost::noncopyable
{
public:
    RegisterAppEntry(const std::string& name, const Utils::AppEntryFn& fn, bool flag);
};

// Runs the entry of that name with the parameters and gives its result; none when no entry of
// that name is registered (the host program then prints the help).
boost::optional<int> RunEntry(const std::string& name, const Utils::ArgStringList& args);

// The registered names in registry (byte) order.
std::vector<std::string> AppEntryNames();

namespace Utils
{
using ::AppEntryNames;
using ::RegisterAppEntry;
using ::RunEntry;

// The entry that prints the usage line and the registered names.
extern const char* const c_appEntryHelpName;
// The command-line switch that selects an entry.
extern const char* const c_appEntrySwitch;
} // namespace Utils
