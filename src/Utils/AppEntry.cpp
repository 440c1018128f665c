#include "Utils/AppEntry.h"

#include <iostream>
#include <map>
#include <boost/bind/bind.hpp>
#include "ESS/Assert.h"
#include "Utils/DelayInit.h"

namespace Utils
{
const char* const c_appEntryHelpName = "entry_help";
const char* const c_appEntrySwitch = "/entry";
} // namespace Utils

namespace
{

class AppEntry : boost::noncopyable
{
public:
    static AppEntry& Instance()
    {
        static AppEntry registry;
        return registry;
    }

    void AddItem(const std::string& name, const Utils::AppEntryFn& fn, bool flag)
    {
        auto it = m_items.lower_bound(name);
        if (it != m_items.end() && it->first == name)
        {
            ESS_HALT("Duplicate AppEntry item: " + name);
        }
        m_items.emplace_hint(it, name, Item{fn, flag});
    }

    const Utils::AppEntryFn* Find(const std::string& name) const
    {
        auto it = m_items.find(name);
        return (it == m_items.end()) ? nullptr : &it->second.fn;
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> res;
        for (const auto& i : m_items)
        {
            res.push_back(i.first);
        }
        return res;
    }

    int Help(const Utils::ArgStringList&) const
    {
        std::cout << "Use: application.exe " << Utils::c_appEntrySwitch << " <item name> [item params]"
                  << std::endl;
        std::cout << std::endl;
        std::cout << "Registered items:" << std::endl;
        for (const auto& i : m_items)
        {
            std::cout << "    " << i.first << std::endl;
        }
        return 0;
    }

private:
    struct Item
    {
        Utils::AppEntryFn fn;
        bool flag; // kept with the entry; nothing here reads it
    };

    AppEntry() = default;

    std::map<std::string, Item> m_items; // std::string's order is plain byte order
};

void AddItemDeferred(const std::string& name, const Utils::AppEntryFn& fn, bool flag)
{
    AppEntry::Instance().AddItem(name, fn, flag);
}

// Created while the module loads, so that the registry exists before any insertion runs.
[[maybe_unused]] AppEntry& g_registryAtLoad = AppEntry::Instance();

const RegisterAppEntry
    g_helpEntry(Utils::c_appEntryHelpName,
                boost::bind(&AppEntry::Help, &AppEntry::Instance(), boost::placeholders::_1), true);

} // namespace

RegisterAppEntry::RegisterAppEntry(const std::string& name, const Utils::AppEntryFn& fn, bool flag)
{
    Utils::DelayInitHost::Instance().Register(boost::bind(&AddItemDeferred, name, fn, flag), 0);
}

boost::optional<int> RunEntry(const std::string& name, const Utils::ArgStringList& args)
{
    const Utils::AppEntryFn* fn = AppEntry::Instance().Find(name);
    if (fn == nullptr)
    {
        return boost::none;
    }
    return (*fn)(args);
}

std::vector<std::string> AppEntryNames()
{
    return AppEntry::Instance().Names();
}
