#pragma once
// The log tree.
//
// Components hold a Log handle to a named node and write records with a tag:
//     YrLogV2::Log m_log(YrLogV2::LogRoot::RootLog(), "DriverCore");
//     m_log.Add(YrLogV2::Info, "Channel {} opened, handle {0:#x}", name, handle);
//     m_log.Add(YrLogV2::Warning, L"Entry: {}", enumName); // wide format, narrow or wide arguments
//     if (m_log.Active(16)) m_log.Add(c_tagPacket, "{}", ExpensiveDump());
// Formats follow fmt rules and are checked at run time: a bad format or a throwing argument writes
// "Unable to format string '<format>' for <n> args" at LogError instead. Everything is UTF-8
// inside: wide formats and wide arguments (std::wstring, wchar_t texts) are converted.
// A record filtered out by its level costs a marker check and one relaxed atomic compare: no
// formatting, no lock. Use Active() before building expensive arguments.
// Record line (all outputs): "yyyy-MM-dd hh:mm:ss.zzz <thread, 18> <tag, 8> <node path>: <text>".
//
// Set-up API (for the start-up/configuration layer, SetupLogFromConfig):
//   - outputs: CreateFileOutput(folder), CreateConsoleOutput(), MemoryOutput (LogOutput.h);
//     LogRoot::Instance().AttachOutputs({file, console}) returns a token that keeps them attached;
//     destroying the token detaches them (keep it in LogSetupInfo). Attach all outputs of the
//     set-up in one call: the records logged before the first attach (kept in a bounded early
//     buffer, c_earlyRecordLimit) are replayed, in order, into the outputs of the first attach only.
//     If the configuration wants no output at all, call DiscardEarlyRecords().
//   - levels: LogRoot::Instance().SetLevels(7, {{"NetThread", 8}, {"Bridge_to_prc.MbcAdapter", 16}}).
//     A node's threshold is the level given for its path, else for its bare name, else its parent's
//     threshold; the root's is the default level (c_defaultLevel until set). Nodes made later
//     follow the same rule.
//   - debug flag: LogRoot::Instance().SetDebugMode(bool); a deferred initialiser (priority 0) sets it
//     from the "debug.mode" marker next to the executable. The log itself does not act on it.
//   - the root itself is made by a deferred initialiser at priority -10, or by any earlier use.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>
#include <QString>
#include <fmt/format.h>
#include "Utils/IBasicInterface.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Tag.h"

class QMutex;

namespace YrLogV2
{

class ILogOutput;
class Log;

namespace details
{

// What a handle needs of its node on the fast path.
class NodeBase
{
public:
    bool Passes(int level) const { return level <= m_threshold.load(std::memory_order_relaxed); }

protected:
    NodeBase() = default;
    ~NodeBase() = default;

    std::atomic<int> m_threshold{c_defaultLevel};
};

// A wide or Qt text given as an argument to a narrow format; formatted as UTF-8.
struct WideArg
{
    std::wstring_view text;
};
struct QStringArg
{
    const QString* text;
};

// Everything is passed through as is, except the texts fmt cannot put into narrow output.
template <class T>
const T& AdaptArg(const T& v)
{
    return v;
}
inline WideArg AdaptArg(const std::wstring& v)
{
    return WideArg{v};
}
inline WideArg AdaptArg(const std::wstring_view& v)
{
    return WideArg{v};
}
inline WideArg AdaptArg(const wchar_t* v)
{
    return WideArg{v ? std::wstring_view(v) : std::wstring_view()};
}
inline WideArg AdaptArg(wchar_t* v)
{
    return AdaptArg(static_cast<const wchar_t*>(v));
}
template <std::size_t N>
WideArg AdaptArg(const wchar_t (&v)[N])
{
    return AdaptArg(static_cast<const wchar_t*>(v));
}
inline WideArg AdaptArg(const wchar_t& v)
{
    return WideArg{std::wstring_view(&v, 1)};
}
inline QStringArg AdaptArg(const QString& v)
{
    return QStringArg{&v};
}

} // namespace details

class LogStream;

// A handle to a named node of the log tree. Handles with the same name under one parent share
// one node (its level and its path). Nodes live as long as the process; handles do not.
// A live handle carries c_aliveMarker in its first field; the destructor clears it, and every
// write checks it ("Log node(<address>) is dead").
class Log
{
public:
    static const uint32_t c_aliveMarker = 0xC10A9901;

    // A handle to the child node `name` of parent. mode and mode2 are kept, with no effect.
    Log(const Log& parent, const std::string& name, int mode = 0, int mode2 = 0);
    // Another handle to the same node.
    Log(const Log& other);
    Log& operator=(const Log&) = delete;
    ~Log();

    // Would a record of this level pass this node?
    bool Active(int level) const { return m_pNode->Passes(level); }
    bool Active(const Tag& tag) const { return m_pNode->Passes(tag.Level()); }

    // Narrow or wide format text (a wide one is written as UTF-8).
    template <class TChar, class... TArgs>
    void Add(const Tag& tag, const TChar* pMsg, const TArgs&... args) const
    {
        CheckWrite(pMsg);
        if (!m_pNode->Passes(tag.Level()))
            return;
        WriteFormatted(tag, std::basic_string_view<TChar>(pMsg), sizeof...(TArgs),
                       fmt::make_format_args(details::AdaptArg(args)...));
    }
    template <class TChar, class... TArgs>
    void Add(const Tag& tag, const std::basic_string<TChar>& msg, const TArgs&... args) const
    {
        Add(tag, msg.c_str(), args...);
    }

    // The text as one record, unformatted.
    void Put(const char* pData, const Tag& tag) const;
    void Put(const std::string& data, const Tag& tag) const { Put(data.c_str(), tag); }

    // A stream that collects text with << and writes it as one record when it is destroyed (at
    // the end of the full expression for a temporary). Collects nothing when the level does not pass.
    LogStream MakeStream(const Tag& tag) const;

    // Fatal "Log node(<address>) is dead" when this handle was destroyed.
    void AssertAlive() const;

    const std::string& Name() const;
    // Names from the root's child down, joined by "."; "root" for the root node.
    const std::string& Path() const;
    int Mode() const { return m_mode; }
    int Mode2() const { return m_mode2; }

private:
    friend class LogStream;
    friend class LogRootImpl;
    struct RootTag
    {
    };
    Log(details::NodeBase* pNode, RootTag);

    // "pMsg != nullptr", then AssertAlive.
    void CheckWrite(const void* pMsg) const;
    void WriteFormatted(const Tag& tag, std::string_view format, std::size_t argCount,
                        fmt::format_args args) const;
    void WriteFormatted(const Tag& tag, std::wstring_view format, std::size_t argCount,
                        fmt::format_args args) const;
    void WriteText(const Tag& tag, std::string&& text) const;

    // Must stay the first field (see AssertAlive).
    uint32_t m_marker;
    details::NodeBase* m_pNode;
    int m_mode;
    int m_mode2;
};

// See Log::MakeStream.
class LogStream
{
public:
    LogStream(const Log& log, const Tag& tag);
    LogStream(LogStream&& other) noexcept;
    LogStream& operator=(LogStream&&) = delete;
    ~LogStream();

    bool Active() const { return m_pStream != nullptr; }

    template <class T>
    LogStream& operator<<(const T& v)
    {
        if (m_pStream)
            *m_pStream << v;
        return *this;
    }
    LogStream& operator<<(const std::wstring& v);
    LogStream& operator<<(const wchar_t* v);
    LogStream& operator<<(const QString& v);

private:
    const Log* m_pLog;
    Tag m_tag;
    std::unique_ptr<std::ostringstream> m_pStream;
};

// The process-wide root of the log tree. It owns the recursive delivery mutex, the outputs, the
// level table and the early-record buffer; it is never destroyed.
class LogRoot
{
public:
    // Records kept for replay before the first outputs are attached; later ones are counted and a
    // Warning with their number follows the replay.
    static const std::size_t c_earlyRecordLimit = 2000;

    // Created on first use (thread-safe), with its child "UtilsDebugLog", into which the debug
    // log (Utils::DebugLogFile) is redirected from then on.
    static LogRoot& Instance();
    // The root node's handle; creates the root on first use.
    static Log& RootLog();

    // Recursive; held while a record is delivered to the outputs. Others may probe it
    // (tryLock with a short wait) to learn whether the log is busy.
    virtual QMutex& Mutex() = 0;

    // Attaches outputs until the returned token is destroyed (see the top of this header).
    virtual std::unique_ptr<Utils::IVirtualDestroy>
    AttachOutputs(const std::vector<std::shared_ptr<ILogOutput>>& outputs) = 0;
    std::unique_ptr<Utils::IVirtualDestroy> AttachOutput(const std::shared_ptr<ILogOutput>& output)
    {
        return AttachOutputs({output});
    }
    // Drops the early records and stops buffering.
    virtual void DiscardEarlyRecords() = 0;

    // Replaces the whole level table: the default (root) level and levels by node path or name.
    virtual void SetLevels(int defaultLevel, const std::map<std::string, int>& nodeLevels) = 0;
    virtual int DefaultLevel() const = 0;

    virtual void SetDebugMode(bool debug) = 0;
    virtual bool DebugMode() const = 0;

protected:
    LogRoot() = default;
    ~LogRoot() = default;
};

} // namespace YrLogV2

template <>
struct fmt::formatter<YrLogV2::details::WideArg> : fmt::formatter<fmt::string_view>
{
    template <class TContext>
    auto format(const YrLogV2::details::WideArg& v, TContext& ctx) const
    {
        const std::string s = Utils::WStringToStdString(v.text);
        return fmt::formatter<fmt::string_view>::format(fmt::string_view(s), ctx);
    }
};

template <>
struct fmt::formatter<YrLogV2::details::QStringArg> : fmt::formatter<fmt::string_view>
{
    template <class TContext>
    auto format(const YrLogV2::details::QStringArg& v, TContext& ctx) const
    {
        const QByteArray s = v.text->toUtf8();
        return fmt::formatter<fmt::string_view>::format(fmt::string_view(s.constData(), size_t(s.size())),
                                                        ctx);
    }
};
