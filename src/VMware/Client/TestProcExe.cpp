// The named entries "VMwareTestProcExe" and "TestProcExeZombie": start child processes of the
// application's own executable (or a given program) and let them end while the parent still holds
// their handles. Parent and child run the same entry; the first argument tells the child.
#include <memory>
#include <string>
#include <vector>
#include <QProcessEnvironment>
#include <QThread>
#include <boost/bind/bind.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/shared_ptr.hpp>
#include "AppUtils/AppConfig.h"
#include "AppUtils/LogSetup.h"
#include "Platform/ProcExec.h"
#include "Platform/Thread.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/AppEntry.h"
#include "Utils/ExeName.h"
#include "Utils/FileSystem.h"
#include "Utils/LexicalCast.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"
#include "iCore/ThreadRunnerFunc.h"

namespace VMware
{
namespace Client
{

namespace
{

const int c_childIdleMs = 20000;
const int c_parentWaitMs = 20000;
const int c_zombieChildMs = 10000;
const int c_zombieParentMs = 15000;
const int c_zombieChildren = 2;
const int c_zombieLaunchPauseMs = 100;

struct ChildProcParams
{
    bool threadOwned = true;
    bool relaunchSelf = false;
    bool child = false;
    std::wstring path;
};

struct ZmbProcParams
{
};

// What the test objects share: the log node and the scheduled exit of their thread.
class ProcTestBase : public iCore::MsgObject
{
protected:
    explicit ProcTestBase(const std::string& logName)
        : iCore::MsgObject(iCore::MsgObject::OwnedByThread), m_log(YrLogV2::LogRoot::RootLog(), logName)
    {
    }

    // After delayMs (at once for 0 or less), writes text (when there is one) and ends the thread.
    void ExitAfter(const std::wstring& text, int delayMs)
    {
        PutFunctor(
            [this, text, delayMs]
            {
                if (delayMs > 0)
                    RunDelayed(boost::bind(&ProcTestBase::Exit, this, text), delayMs);
                else
                    Exit(text);
            });
    }

    void Exit(const std::wstring& text)
    {
        if (!text.empty())
            m_log.Add(YrLogV2::Info, L"{}", text);
        getMsgThread().RequestExit();
    }

    boost::shared_ptr<Platform::IProcExec> Launch(const std::wstring& path,
                                                  const std::vector<std::wstring>& args)
    {
        const Platform::StartProcessResult res =
            Platform::StartProcess(path, args, QProcessEnvironment::systemEnvironment());
        if (!res.process)
            m_log.Add(YrLogV2::Info, L"Couldn't launch child process");
        return res.process;
    }

    YrLogV2::Log m_log;
};

class ChildProc : public ProcTestBase
{
public:
    explicit ChildProc(const ChildProcParams& p) : ProcTestBase("ChildProc")
    {
        if (p.child)
        {
            ExitAfter(L"Exit by stop flag", c_childIdleMs);
            return;
        }
        std::vector<std::wstring> args;
        if (p.relaunchSelf)
            args = {L"/entry", L"VMwareTestProcExe", L"true"};
        m_proc = Launch(p.path, args);
        if (!m_proc)
        {
            ExitAfter(L"", 0);
            return;
        }
        ExitAfter(L"Exit by timeout", c_parentWaitMs);
    }

    ~ChildProc() override { m_proc.reset(); }

private:
    boost::shared_ptr<Platform::IProcExec> m_proc;
};

class ChildZmbProc : public ProcTestBase
{
public:
    explicit ChildZmbProc(const ZmbProcParams&) : ProcTestBase("ChildProc")
    {
        ExitAfter(L"", c_zombieChildMs);
    }
};

class ParentZmbProc : public ProcTestBase
{
public:
    explicit ParentZmbProc(const ZmbProcParams&) : ProcTestBase("ParentProc")
    {
        const std::wstring self = Utils::ExeName::Instance().GetExeName();
        const std::vector<std::wstring> args = {L"/entry", L"TestProcExeZombie", L"true"};
        for (int i = 0; i < c_zombieChildren; ++i)
        {
            boost::shared_ptr<Platform::IProcExec> p = Launch(self, args);
            if (!p)
            {
                ExitAfter(L"", 0);
                return;
            }
            m_children.push_back(p);
            Platform::SleepMs(c_zombieLaunchPauseMs);
        }
        ExitAfter(L"", c_zombieParentMs);
    }

    ~ParentZmbProc() override { m_children.clear(); }

private:
    std::vector<boost::shared_ptr<Platform::IProcExec>> m_children;
};

// Runs a T made from a P on a worker thread "WorkerThread"; destroying it waits until the worker
// has ended by itself.
template <class T, class P>
class X : public Utils::IVirtualDestroy
{
public:
    explicit X(const P& params)
        : m_runner(iCore::ThreadRunnerFuncProfile(0, "WorkerThread", 2, 0, 0, false),
                   boost::bind(&X::Run, this, params))
    {
    }

    ~X() override { m_runner.WaitFinished(); }

private:
    void Run(const P& params) { new T(params); }

    iCore::ThreadRunnerFunc m_runner;
};

// Set-up and first argument shared by both entries; returns the first argument as a bool.
bool CommonStart(const Utils::ArgStringList& args, std::unique_ptr<AppUtils::LogSetupInfo>& logSetup)
{
    SarvikAppSetup::AppSetupInstanceSet(SarvikAppSetup::AppSetupParams(
        L"config.ini", L"", L"", AppUtils::SarvikAppMode(AppUtils::SarvikAppMode::VdiModuleVantrel),
        SarvikAppSetup::VdiMode(SarvikAppSetup::VdiMode::VMware),
        boost::filesystem::path(Utils::ExeName::Instance().GetExeName())));
    logSetup = std::make_unique<AppUtils::LogSetupInfo>(AppUtils::AppConfigInstance(),
                                                        SarvikAppSetup::AppSetupInstance().GetPaths());
    if (args.empty())
        return false;
    YrLogV2::LogRoot::RootLog().Add(YrLogV2::Info, "FirstArg: {}", args.front());
    return ::LexicalCast<bool>(args.front(), boost::optional<bool>(false));
}

int VMwareTestProcExeEntry(const Utils::ArgStringList& args)
{
    std::unique_ptr<AppUtils::LogSetupInfo> logSetup;
    const bool first = CommonStart(args, logSetup);

    ChildProcParams params;
    params.child = first;
    if (!args.empty() && !first)
    {
        params.path = Utils::LocaleStringToUnicode(args.front());
    }
    else
    {
        params.path = Utils::ExeName::Instance().GetExeName();
        params.relaunchSelf = true;
    }
    if (!Utils::PathExists(boost::filesystem::path(params.path)))
    {
        YrLogV2::LogRoot::RootLog().Add(YrLogV2::Info, L"Exit because path is incorrect: {}", params.path);
        return 0;
    }
    X<ChildProc, ChildProcParams> x(params);
    return 0;
}

int TestProcExeZombieEntry(const Utils::ArgStringList& args)
{
    std::unique_ptr<AppUtils::LogSetupInfo> logSetup;
    if (CommonStart(args, logSetup))
        X<ChildZmbProc, ZmbProcParams> x{ZmbProcParams()};
    else
        X<ParentZmbProc, ZmbProcParams> x{ZmbProcParams()};
    return 0;
}

const RegisterAppEntry g_procExeEntry("VMwareTestProcExe", &VMwareTestProcExeEntry, true);
const RegisterAppEntry g_zombieEntry("TestProcExeZombie", &TestProcExeZombieEntry, true);

} // namespace

} // namespace Client
} // namespace VMware
