#include "CrashReporterTestUtils/Crasher.h"

#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>
#include <QObject>
#include <QThread>
#include <boost/function.hpp>
#include "CrashReporter/spec/CrPlatform_linux.h"
#include "CrashReporterTestUtils/ExceptionMsg.h"
#include "ESS/Assert.h"
#include "ESS/HaltOnUnexpected.h"
#include "Platform/FaultSignals.h"
#include "Platform/OsTryCatch.h"
#include "Utils/FuncThread.h"
#include "Utils/IExecutor.h"
#include "Utils/QtSignalAdapters.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "iCore/ThreadRunnerFunc.h"

namespace CrashReporterTestUtils
{

namespace
{

const wchar_t* const c_crashMessage = L"Русский Winter is coming...";

const char* const c_crashTypeNames[] = {
    "Assert",        "AV",       "std",      "ESS",           "UDT", "InsideQt",
    "StackOverflow", "LogAlive", "OutOfMem", "DoubleOutOfMem"};
const int c_crashTypeValues[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// Read through a volatile: the compiler must not see that it is null (a store through a known
// null pointer may be compiled into a trap instruction instead of the access violation).
int* volatile g_nullPointer = nullptr;

// Not instrumented: the sanitizers of a test build must not report the access before it faults.
__attribute__((noinline, no_sanitize("address", "undefined"))) void WriteThroughNull()
{
    *g_nullPointer = 0;
}

[[noreturn]] void CrashInsideQt()
{
    QObject sender;
    // The adapter is made unusable while it stays connected: its storage is wiped without
    // destroying it, so Qt finds a receiver without private data when it delivers the signal and
    // faults inside the delivery.
    Utils::QtSignalToFunc* adapter = new Utils::QtSignalToFunc(sender, "objectNameChanged", [] {});
    std::memset(static_cast<void*>(adapter), 0, sizeof(Utils::QtSignalToFunc));
    sender.setObjectName("123");
    std::abort(); // not reached: the delivery faults
}

[[noreturn]] void OverflowStack()
{
    boost::function<void()> self;
    self = [&self]()
    {
        // Used after the call, so that the call cannot become a jump.
        volatile char pad[256];
        pad[0] = 1;
        self();
        pad[1] = pad[0];
    };
    self();
    std::abort();
}

[[noreturn]] void WriteToDeadLog()
{
    alignas(YrLogV2::Log) unsigned char storage[sizeof(YrLogV2::Log)];
    YrLogV2::Log* log = new (storage) YrLogV2::Log(YrLogV2::LogRoot::RootLog(), "LogAliveAssetion");
    log->~Log();
    log->Add(YrLogV2::Info, "Crash...");
    WriteThroughNull();
    std::abort();
}

[[noreturn]] void ExhaustMemory()
{
    std::vector<char*> blocks;
    for (;;)
    {
        char* p = new char[0x100000];
        // Touch the block: memory that is only reserved is not exhausted.
        std::memset(p, 1, 0x100000);
        blocks.push_back(p);
    }
}

// The "+r" thread: a QThread of its own, outside Platform::Thread and its guard.
class RawCrashThread : public QThread
{
public:
    explicit RawCrashThread(const CrashType& type) : m_type(type) {}

private:
    void run() override
    {
        // A thread of the program: it gets an alternate signal stack, so that even its stack
        // overflow reaches the fault handler and is reported.
        Platform::EnsureAltSignalStack();
        Crasher::DoCrash(m_type);
    }

    CrashType m_type;
};

// Set while an exception leaves the crash on the target thread: that thread's own handling
// halts the process, which the caller then waits for.
class EscapeMark
{
public:
    explicit EscapeMark(std::atomic<bool>& escaped) : m_escaped(escaped), m_before(std::uncaught_exceptions()) {}
    ~EscapeMark()
    {
        if (std::uncaught_exceptions() > m_before)
            m_escaped = true;
    }

private:
    std::atomic<bool>& m_escaped;
    const int m_before;
};

// The crash was aimed at another thread and is ending the process there; until it has, the
// caller must not go on (and, say, return success from the entry).
[[noreturn]] void AwaitProcessEnd()
{
    for (;;)
        ::pause();
}

} // namespace

// ---- CrashType ----

const YrMeta::EnumRawInfo& CrashType::StaticRawInfo()
{
    static const YrMeta::EnumRawInfo c_info = {c_crashTypeNames, c_crashTypeValues,
                                               sizeof(c_crashTypeValues) / sizeof(c_crashTypeValues[0])};
    return c_info;
}

CrashType::CrashType(Value value) : m_valueIndex(0)
{
    FromInt(YrMeta::EnumValue(static_cast<int>(value)), true);
}

CrashType::CrashType(const YrMeta::EnumValue& value) : m_valueIndex(0)
{
    FromInt(value, true);
}

CrashType::CrashType(const CrashType& other) : YrMeta::SmartEnum(other), m_valueIndex(other.m_valueIndex) {}

CrashType& CrashType::operator=(const CrashType& other)
{
    m_valueIndex = other.m_valueIndex;
    return *this;
}

CrashType CrashType::FromName(const std::string& name)
{
    CrashType res(Assert);
    res.FromString(name, true);
    return res;
}

void CrashType::SetValueIndex(std::uint64_t val)
{
    ESS_ASSERT(RawInfo().IsValidIndex(val));
    m_valueIndex = val;
}

// ---- Crasher ----

class Crasher::iCoreThread
{
public:
    iCoreThread()
    {
        iCore::MsgThread* thread = nullptr;
        m_runner = std::make_unique<iCore::ThreadRunnerFunc>(
            iCore::ThreadRunnerFuncProfile(0, "iCoreCrasherThread", QThread::LowPriority, 0, 0, false),
            [&thread](iCore::MsgThread& t) { thread = &t; });
        // The runner returns only after the function ran on the new thread.
        ESS_ASSERT(thread != 0);
        m_context = std::make_unique<Utils::ThreadContext>(thread->CreateContext());
    }

    const Utils::ThreadContext& Context() const { return *m_context; }

private:
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
    std::unique_ptr<Utils::ThreadContext> m_context;
};

Crasher::Crasher() = default;

Crasher::~Crasher() = default;

void Crasher::Add(const std::string& name, const Utils::ThreadContext& context)
{
    ESS_ASSERT(m_threads.find(name) == m_threads.end());
    m_threads[name] = std::make_unique<Utils::ThreadContext>(context);
}

void Crasher::AddMsgThread()
{
    ESS_ASSERT(m_thread == 0);
    m_thread = std::make_unique<iCoreThread>();
    Add("iCore", m_thread->Context());
}

void Crasher::Crash(const std::string& threadName, const CrashType& type)
{
    if (threadName.empty())
        DoCrash(type);
    if (threadName == "+u")
    {
        CrashInNewThread(type, false);
        return;
    }
    if (threadName == "+p")
    {
        CrashInNewThread(type, true);
        return;
    }
    if (threadName == "+r")
    {
        CrashInRawThread(type);
        return;
    }
    auto i = m_threads.find(threadName);
    ESS_ASSERT(i != m_threads.end());
    const CrashType t(type);
    // RunSync comes back as soon as the exception has left the function, while the target
    // thread is still halting.
    const auto escaped = std::make_shared<std::atomic<bool>>(false);
    i->second->RunSync(
        [t, escaped]
        {
            EscapeMark mark(*escaped);
            DoCrash(t);
        },
        Utils::ThreadContext::c_noLimit);
    if (*escaped)
        AwaitProcessEnd();
}

void Crasher::DoCrash(const CrashType& type)
{
    YrLogV2::LogRoot::RootLog().Add(YrLogV2::Info, "OS crash mode before crash {}",
                                    CrashReporter::ErrorModeText());

    switch (static_cast<CrashType::Value>(type.CastToInt()))
    {
    case CrashType::Assert:
        ESS::AssertionFailed(c_crashMessage, ESS_LOCATION, true);
        std::abort();
    case CrashType::AV:
        WriteThroughNull();
        break;
    case CrashType::Std:
        throw Utils::ExceptionMsg(Utils::WStringToStdString(c_crashMessage));
    case CrashType::Ess:
        ESS_THROW_MSG(CustomException, c_crashMessage);
    case CrashType::UDT:
        throw UserDefinedType();
    case CrashType::InsideQt:
        CrashInsideQt();
    case CrashType::StackOverflow:
        OverflowStack();
    case CrashType::LogAlive:
        WriteToDeadLog();
    case CrashType::OutOfMem:
    case CrashType::DoubleOutOfMem:
        ExhaustMemory();
    }
    ::ESS::Throw(ESS::NoReturnException(L"No return!", ESS_LOCATION));
}

void Crasher::CrashInNewThread(const CrashType& type, bool protect)
{
    const CrashType t(type);
    boost::function<void()> body;
    if (!protect)
    {
        body = [t] { DoCrash(t); };
    }
    else
    {
        body = [t]
        {
            auto work = Utils::MakeExecuter([&t] { DoCrash(t); });
            const std::unique_ptr<Utils::ExceptionInfo> info =
                Platform::OsTryCatch(work, Platform::enOsTCTRegular);
            if (info)
                ESS::HaltOnUnexpected(*info, L"Crasher");
        };
    }
    // Destroying the handle waits for the thread: the caller stays here until the crash ends
    // the process.
    Utils::ThreadRunFn(body, "CrashInRawThread").reset();
}

void Crasher::CrashInRawThread(const CrashType& type)
{
    RawCrashThread thread(type);
    thread.start(QThread::InheritPriority);
    thread.wait();
}

std::string Crasher::Help() const
{
    std::string res;
    res += "threads:\n";
    res += "  ''   -- for current thread\n";
    res += "  '+u' -- for start new unprotected thread\n";
    res += "  '+p' -- for start new protected   thread\n";
    res += "  '+r' -- for start new raw thread (QThread)\n";
    for (const auto& t : m_threads)
        res += "  '" + t.first + "'\n";
    res += "\ncrash types:\n";
    const YrMeta::EnumRawInfo& info = CrashType::StaticRawInfo();
    for (std::uint64_t i = 0; i < info.count; ++i)
        res += std::string("  ") + info.names[i] + "\n";
    return res;
}

} // namespace CrashReporterTestUtils
