#include "ESS/Assert.h"

#include <algorithm>
#include <list>
#include <mutex>

#include <unistd.h>

#include "ESS/Exception.h"
#include "ESS/Hooks.h"
#include "Platform/Halt.h"
#include "Utils/StringUtils.h"

namespace ESS
{

namespace
{

// Serialises the assertion path, the hook walks and the hook list. Never destroyed: threads
// may still assert while static objects are torn down at exit.
std::recursive_mutex& ErrorsMutex()
{
    static std::recursive_mutex* pMutex = new std::recursive_mutex();
    return *pMutex;
}

// Set while this thread walks the hooks. A hook that fails again (throws, asserts) while its
// own failure is being reported would otherwise be shown that failure once more, without
// bound; with the flag set the new report goes straight to the halt.
thread_local bool t_inHookWalk = false;

// Nesting of the assertion path on this thread. A failure inside the formatting of a report
// cannot reach the halt through the full path again; past this depth the raw message is used.
thread_local int t_assertDepth = 0;
const int c_maxFullAssertDepth = 4;

class FlagGuard
{
public:
    explicit FlagGuard(bool& flag) : m_flag(flag), m_prev(flag) { m_flag = true; }
    ~FlagGuard() { m_flag = m_prev; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    bool& m_flag;
    bool m_prev;
};

class DepthGuard
{
public:
    explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DepthGuard() { --m_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& m_depth;
};

} // namespace

// The registered hooks, newest first. Created by the first registration, never freed.
class HooksList
{
public:
    void Register(ExceptionHook* pHook)
    {
        ESS_ASSERT(pHook);
        auto p = std::find(m_list.begin(), m_list.end(), pHook);
        ESS_ASSERT(p == m_list.end());
        m_list.push_front(pHook);
    }

    void Unregister(ExceptionHook* pHook)
    {
        ESS_ASSERT(pHook);
        auto p = std::find(m_list.begin(), m_list.end(), pHook);
        ESS_ASSERT(p != m_list.end());
        m_list.erase(p);
    }

    void Run(const BaseException& e)
    {
        if (t_inHookWalk)
            return;
        FlagGuard walking(t_inHookWalk);

        // A hook may unregister others: walk a snapshot, skipping hooks that left meanwhile.
        const std::list<ExceptionHook*> snapshot = m_list;
        for (ExceptionHook* pHook : snapshot)
        {
            if (std::find(m_list.begin(), m_list.end(), pHook) == m_list.end())
                continue;
            try
            {
                pHook->Hook(&e);
            }
            catch (const BreakHookChain&)
            {
                return;
            }
            catch (const HookRethrow&)
            {
                throw;
            }
            catch (const std::exception& ex)
            {
                Abort(&ex);
            }
            catch (...)
            {
                Abort(nullptr);
            }
        }
    }

private:
    [[noreturn]] static void Abort(const std::exception* pE)
    {
        std::string text = "Exception in exception hook, aborted";
        if (pE != nullptr)
        {
            text += "\n";
            text += pE->what();
        }
        AssertionFailed(MakeMessage(text), ESS_LOCATION, true);
        detail::AbortAfterAssert();
    }

    std::list<ExceptionHook*> m_list;
};

namespace
{
HooksList* g_pHooksList = nullptr; // guarded by ErrorsMutex()
}

void RegisterHook(ExceptionHook* pHook)
{
    std::lock_guard<std::recursive_mutex> lock(ErrorsMutex());
    if (g_pHooksList == nullptr)
        g_pHooksList = new HooksList();
    g_pHooksList->Register(pHook);
}

void UnregisterHook(ExceptionHook* pHook)
{
    std::lock_guard<std::recursive_mutex> lock(ErrorsMutex());
    HooksList* pHooksList = g_pHooksList;
    ESS_ASSERT(pHooksList);
    pHooksList->Unregister(pHook);
}

void ProcessHook(const BaseException* pE)
{
    std::lock_guard<std::recursive_mutex> lock(ErrorsMutex());
    ESS_ASSERT(pE);
    if (g_pHooksList != nullptr)
        g_pHooksList->Run(*pE);
}

bool AssertionFailed(const std::wstring& message, const CppLocation& location, bool runHooks)
{
    DepthGuard depth(t_assertDepth);
    if (t_assertDepth > c_maxFullAssertDepth)
    {
        Platform::Abort(message, message, nullptr);
        return true;
    }

    Assertion assertion(message, location);
    std::lock_guard<std::recursive_mutex> lock(ErrorsMutex());
    assertion.CaptureStackTrace();
    if (runHooks)
        ProcessHook(&assertion);
    const std::wstring text = assertion.FormatText();
    Platform::Abort(text, message, nullptr);
    return true;
}

std::wstring MakeMessage(const std::string& text)
{
    return Utils::LocaleStringToUnicode(text);
}

namespace detail
{

void AbortAfterAssert()
{
    // Reached only when the halt could not end the process: nothing of the failing site may run.
    ::_exit(Platform::c_haltExitCode);
}

} // namespace detail

} // namespace ESS
