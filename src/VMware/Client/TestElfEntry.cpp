// The named entry "VMwareTestElf": starts a program (by default the launcher that the application
// family installs in the user's data folder), detached or attached with its output copied into
// the log, and logs how it ended.
#include <memory>
#include <string>
#include <QMetaEnum>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <boost/filesystem/path.hpp>
#include "AppUtils/AppConfig.h"
#include "AppUtils/LogSetup.h"
#include "Platform/SysInfo.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/AppEntry.h"
#include "Utils/ExeName.h"
#include "Utils/LexicalCast.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"
#include "iCore/ThreadRunnerFunc.h"

namespace VMware
{
namespace Client
{

namespace
{

const int c_attachedWaitMs = 30000;

QString DefaultProgram()
{
    if (Platform::GetOsVersion().OsKind() == Platform::OsVersionReader::OsKindWindows)
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               "/YrAppVdiModule/VMware/DoDoverora/launcher.exe";
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation) +
           "/YrAppVdiModule/VMware/DoDoverora/launcher";
}

class RunBody : public iCore::MsgObject
{
public:
    RunBody(iCore::MsgThread& thread, const Utils::ArgStringList& args)
        : iCore::MsgObject(thread, iCore::MsgObject::OwnedByThread),
          m_log(YrLogV2::LogRoot::RootLog(), "RunBody"), m_args(args)
    {
        Run();
        // The run is over: the entry waits for this thread to end.
        getMsgThread().RequestExit();
    }

private:
    void Run()
    {
        QString program = DefaultProgram();
        Utils::ArgStringList rest = m_args;
        bool detached = false;
        if (!rest.empty())
        {
            detached = Utils::StringToBool(rest.front()).value_or(false);
            rest.erase(rest.begin());
        }
        if (!rest.empty())
        {
            program = QString::fromLocal8Bit(rest.front().c_str());
            rest.erase(rest.begin());
        }
        QStringList args;
        for (const std::string& a : rest)
            args << QString::fromLocal8Bit(a.c_str());
        const QString dir =
            QString::fromStdWString(boost::filesystem::path(program.toStdWString()).parent_path().wstring());

        m_process = std::make_unique<QProcess>();
        QProcess* p = m_process.get();
        const YrLogV2::Log& log = m_log;
        QObject::connect(p, &QProcess::readyReadStandardError,
                         [p, &log]
                         { log.Add(YrLogV2::Warning, "ERR: {}", QString(p->readAllStandardError())); });
        QObject::connect(p, &QProcess::readyReadStandardOutput,
                         [p, &log]
                         { log.Add(YrLogV2::Warning, "RES: {}", QString(p->readAllStandardOutput())); });

        m_log.Add(YrLogV2::Info, "Start, detached '{}', exe '{}', dir '{}', args '{}'",
                  detached ? "true" : "false", program, dir, args.join(" "));

        bool started = false;
        qint64 pid = 0;
        if (detached)
        {
            started = QProcess::startDetached(program, args, dir, &pid);
        }
        else
        {
            p->setWorkingDirectory(dir);
            p->start(program, args);
            if (p->waitForFinished(c_attachedWaitMs))
            {
                const QMetaEnum status = QMetaEnum::fromType<QProcess::ExitStatus>();
                const QMetaEnum error = QMetaEnum::fromType<QProcess::ProcessError>();
                m_log.Add(YrLogV2::Warning, "StartTestProc, code: {}, {}, {}", p->exitCode(),
                          status.valueToKey(p->exitStatus()), error.valueToKey(p->error()));
            }
        }
        m_log.Add(YrLogV2::Warning, "StartTestProc: {}, {}", started, pid);
        // An attached program still running after the wait is ended with the process object: the
        // entry does not leave it behind.
        if (p->state() != QProcess::NotRunning)
        {
            p->kill();
            p->waitForFinished(c_attachedWaitMs);
        }
        m_process.reset();
    }

    YrLogV2::Log m_log;
    const Utils::ArgStringList m_args;
    std::unique_ptr<QProcess> m_process;
};

int VMwareTestElfEntry(const Utils::ArgStringList& args)
{
    const boost::filesystem::path exe(Utils::ExeName::Instance().GetExeName());
    SarvikAppSetup::AppSetupInstanceSet(SarvikAppSetup::AppSetupParams(
        L"config.ini", L"", L"", AppUtils::SarvikAppMode(AppUtils::SarvikAppMode::VdiModule),
        SarvikAppSetup::VdiMode(SarvikAppSetup::VdiMode::VMware), exe.parent_path()));
    SarvikAppSetup::AppSetup& setup = SarvikAppSetup::AppSetupInstance();
    AppUtils::LogSetupInfo logSetup(AppUtils::AppConfigInstance(), setup.GetPaths());
    {
        iCore::ThreadRunnerFunc runner(
            iCore::ThreadRunnerFuncProfile(0, "VMwareTestElfThread", 2, 0, 0, false),
            [&args](iCore::MsgThread& thread) { new RunBody(thread, args); });
        runner.WaitFinished();
    }
    YrLogV2::LogRoot::RootLog().Add(YrLogV2::Info, "Finished VMwareTestElf");
    return 0;
}

const RegisterAppEntry g_testElfEntry("VMwareTestElf", &VMwareTestElfEntry, true);

} // namespace

} // namespace Client
} // namespace VMware
