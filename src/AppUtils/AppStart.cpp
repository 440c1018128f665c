#include "AppUtils/AppStart.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <QMutex>
#include <QMessageLogContext>
#include "ESS/Assert.h"
#include "ESS/Hooks.h"
#include "Platform/SysInfo.h"
#include "Utils/DebugLog.h"
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "Utils/QtMsgHandler.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"

namespace AppUtils
{

namespace
{

// A hook may be called while another thread holds the log and waits for the lock the hook runs
// under (the errors lock, the Qt message lock). The hooks therefore wait for the log a bounded
// time and write to standard error when it stays busy.
const unsigned long c_hookLogWaitMs = 1000;

template <class TFn>
void WriteFromHook(const TFn& write, const std::string& fallback)
{
    QMutex& m = YrLogV2::LogRoot::Instance().Mutex();
    if (!m.tryLock(c_hookLogWaitMs))
    {
        std::fprintf(stderr, "%s\n", fallback.c_str());
        return;
    }
    try
    {
        write();
    }
    catch (...)
    {
        std::fprintf(stderr, "%s\n", fallback.c_str());
    }
    m.unlock();
}

using QtTagTable = std::map<int, YrLogV2::Tag>;

QtTagTable*& QtTags()
{
    static QtTagTable* p = nullptr;
    return p;
}

void MakeQtTags()
{
    QtTagTable* p = new QtTagTable();
    p->emplace(QtInfoMsg, YrLogV2::Tag(7, "QtInfo"));
    p->emplace(QtDebugMsg, YrLogV2::Tag(7, "QtDebug"));
    p->emplace(QtWarningMsg, YrLogV2::Tag(5, "QtWarning"));
    p->emplace(QtCriticalMsg, YrLogV2::Tag(2, "QtCritical"));
    p->emplace(QtFatalMsg, YrLogV2::Tag(2, "QtFatal"));
    QtTags() = p;
}

Utils::DelayInitRegistrar g_qtTagsInit(&MakeQtTags, 0);

const YrLogV2::Tag& QtTag(QtMsgType type)
{
    QtTagTable* p = QtTags();
    ESS_ASSERT(p != 0);
    const auto i = p->find(type);
    return i != p->end() ? i->second : p->at(QtWarningMsg);
}

// Every program exception and assertion, at the moment it is raised.
class ExceptionLogger : public ESS::ExceptionHook
{
public:
    ExceptionLogger() : m_log(YrLogV2::LogRoot::RootLog()) { ESS::RegisterHook(this); }
    ~ExceptionLogger() override { ESS::UnregisterHook(this); }

private:
    void Hook(const ESS::BaseException* e) override
    {
        if (e == nullptr || dynamic_cast<const ESS::INonTraceable*>(e) != nullptr)
            return;
        // An exception raised while this hook logs is not logged again.
        thread_local bool t_busy = false;
        if (t_busy)
            return;
        struct BusyScope
        {
            BusyScope() { t_busy = true; }
            ~BusyScope() { t_busy = false; }
        } scope;
        const std::wstring text = e->FormatText();
        WriteFromHook([&] { m_log.Add(YrLogV2::LogError, L"Exception: {}", text); },
                      "Exception: " + Utils::WStringToStdString(text));
    }

    YrLogV2::Log m_log;
};

class AppStartup : public Utils::IVirtualDestroy
{
public:
    AppStartup(int argc, char** argv)
    {
        // The executable name comes first: everything after may ask for it.
        Utils::ExeName::Init(argc, argv, "{", "}");
        Utils::SetupLocaleCodePage();
        // Qt must not poll network interfaces in the background of a host process.
        ::setenv("QT_BEARER_POLL_TIMEOUT", "-1", 1);
        Utils::DelayInitHost::Instance().DoInit();

        Utils::DebugLogFile::Write(L"Application start, pid " +
                                   std::to_wstring(Platform::CurrentProcessId()) + L"\n" +
                                   Utils::ExeName::Instance().ArgsToString());

        m_exceptions = std::make_unique<ExceptionLogger>();
        m_qtLog = std::make_unique<YrLogV2::Log>(YrLogV2::LogRoot::RootLog(), "QtMsg");
        m_qtHook = std::make_unique<Utils::QtMsgHandler>([this](const Utils::QtMsgHandler::Msg& m)
                                                         { return OnQtMsg(m); });
    }

    ~AppStartup() override
    {
        m_qtHook.reset();
        Utils::QtMsgHandler::RestorePreviousHandler();
        m_exceptions.reset();
    }

private:
    Utils::QtMsgHandler::HookResult OnQtMsg(const Utils::QtMsgHandler::Msg& m)
    {
        const YrLogV2::Tag& tag = QtTag(m.m_type);
        const QString location = m.Location();
        const QString category = m.Category();
        QString text = m.m_text;
        if (!category.isEmpty() && category != "default")
            text = "[" + category + "] " + text;
        if (!location.isEmpty())
            text += " (" + location + ")";
        WriteFromHook([&] { m_qtLog->Add(tag, "{}", text); }, "QtMsg: " + text.toStdString());
        return Utils::QtMsgHandler::Handled;
    }

    std::unique_ptr<ExceptionLogger> m_exceptions;
    std::unique_ptr<YrLogV2::Log> m_qtLog;
    std::unique_ptr<Utils::QtMsgHandler> m_qtHook;
};

} // namespace

namespace details
{

int QtMsgTagLevel(int qtMsgType)
{
    return QtTag(static_cast<QtMsgType>(qtMsgType)).Level();
}

} // namespace details

} // namespace AppUtils

std::unique_ptr<Utils::IVirtualDestroy> AppStartWithAsyncDest(int argc, char** argv)
{
    return std::make_unique<AppUtils::AppStartup>(argc, argv);
}
