#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <boost/noncopyable.hpp>
#include "ESS/Exception.h"
#include "Utils/ThreadContext.h"
#include "YrMeta/SmartEnum.h"

namespace iCore
{
class ThreadRunnerFunc;
}

namespace CrashReporterTestUtils
{

// The ways the process can be made to fail. The names are the texts of the command line
// ("Assert", "AV", "std", ...). Written out rather than declared with YRMETA_SMART_ENUM: the
// names "std" and "ESS" would hide the namespaces of the same names inside the class.
class CrashType : public YrMeta::SmartEnum, public Utils::ComparableT<CrashType>
{
public:
    enum Value
    {
        Assert = 0,
        AV = 1,
        Std = 2,
        Ess = 3,
        UDT = 4,
        InsideQt = 5,
        StackOverflow = 6,
        LogAlive = 7,
        OutOfMem = 8,
        DoubleOutOfMem = 9,
    };

    static const YrMeta::EnumRawInfo& StaticRawInfo();

    CrashType(Value value);
    explicit CrashType(const YrMeta::EnumValue& value);
    CrashType(const CrashType& other);
    CrashType& operator=(const CrashType& other);
    ~CrashType() override = default;

    // By name, exactly as in the table (case matters); a name not in it throws ConvertionException.
    static CrashType FromName(const std::string& name);

    void SetValueIndex(std::uint64_t val) override;
    std::uint64_t ValueIndex() const override { return m_valueIndex; }
    const YrMeta::EnumRawInfo& RawInfo() const override { return StaticRawInfo(); }

private:
    std::uint64_t m_valueIndex;
};

// Makes the process fail in a chosen way on a chosen thread, so that the crash hook can be tried
// under every kind of failure.
class Crasher : boost::noncopyable
{
public:
    // The program's own exception type that the "ESS" kind throws.
    class CustomException : public ESS::Exception
    {
    public:
        CustomException(const std::wstring& message, const ESS::CppLocation& location)
            : ESS::Exception(message, location)
        {
        }
    };

    // A thrown type that is no std::exception.
    struct UserDefinedType
    {
        int m_code = 42;
    };

    // The crasher's message thread with its context.
    class iCoreThread;

    Crasher();
    ~Crasher();

    // A thread on which crashes can be run; a name given twice is fatal.
    void Add(const std::string& name, const Utils::ThreadContext& context);

    // Starts the message thread "iCoreCrasherThread" and registers it as "iCore"; once only.
    void AddMsgThread();

    // "" the calling thread; "+u" a new thread, unprotected; "+p" a new thread under a try/catch;
    // "+r" a new plain QThread; otherwise the registered thread of that name (fatal when there is
    // none). Returns only when the crash did not end the process.
    void Crash(const std::string& threadName, const CrashType& type);

    // Fails on the calling thread; never returns normally.
    [[noreturn]] static void DoCrash(const CrashType& type);

    static void CrashInNewThread(const CrashType& type, bool protect);
    static void CrashInRawThread(const CrashType& type);

    std::string Help() const;

private:
    std::map<std::string, std::unique_ptr<Utils::ThreadContext>> m_threads;
    std::unique_ptr<iCoreThread> m_thread;
};

} // namespace CrashReporterTestUtils
