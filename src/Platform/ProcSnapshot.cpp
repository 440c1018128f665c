#include "Platform/ProcSnapshot.h"

#include <cstdlib>
#include <sstream>
#include <vector>
#include <dirent.h>
#include "Platform/SysInfo.h"

namespace Platform
{

namespace
{

// The nice value of a thread of this process (field 19 of its stat line); false when it is gone.
bool ReadNice(uint32_t tid, int& nice)
{
    std::istringstream in(ReadSmallFile("/proc/self/task/" + std::to_string(tid) + "/stat"));
    std::string line;
    if (!std::getline(in, line))
    {
        return false;
    }
    // The command name (field 2) may hold blanks and parentheses: count from its closing one.
    const size_t close = line.rfind(')');
    if (close == std::string::npos)
    {
        return false;
    }
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    // Fields 3..18 come before the nice value.
    for (int i = 3; i <= 18; ++i)
    {
        if (!(rest >> field))
        {
            return false;
        }
    }
    return bool(rest >> nice);
}

class ProcSnapshot : public IProcSnapshot
{
public:
    ProcSnapshot()
    {
        DIR* dir = opendir("/proc/self/task");
        if (dir == nullptr)
        {
            ESS_THROW_MSG(Win32::ToolHelpException, L"ToolHelpException");
        }
        while (const dirent* e = readdir(dir))
        {
            char* end = nullptr;
            const unsigned long tid = std::strtoul(e->d_name, &end, 10);
            if (e->d_name[0] < '0' || e->d_name[0] > '9' || *end != 0)
            {
                continue;
            }
            int nice = 0;
            if (ReadNice(uint32_t(tid), nice)) // a thread that ended meanwhile is not listed
            {
                m_threads.push_back(Entry{uint32_t(tid), nice});
            }
        }
        closedir(dir);
    }

    std::string ThreadPriority(uint32_t id) const override
    {
        for (const Entry& e : m_threads)
        {
            if (e.id == id)
            {
                return std::to_string(e.priority);
            }
        }
        return "?";
    }

    int ThreadCount() const override { return int(m_threads.size()); }

    uint32_t ThreadIdAt(int index) const override { return m_threads[size_t(index)].id; }

private:
    struct Entry
    {
        uint32_t id;
        int priority;
    };

    std::vector<Entry> m_threads; // in the order the system listed them
};

} // namespace

std::unique_ptr<IProcSnapshot> CreateProcSnapshot()
{
    return std::make_unique<ProcSnapshot>();
}

} // namespace Platform
