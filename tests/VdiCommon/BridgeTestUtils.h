#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "MediaBridgeControl/IMbcFlow.h"
#include "MediaBridgeControl/IMbcTransp.h"
#include "Utils/ByteArray.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "YrNet/NetTestUtils.h"

namespace BridgeTest
{

using MediaBridgeControl::TranspState;
using NetTest::c_waitLimit;

inline std::string ToStr(const Utils::ByteArray& a)
{
    return a.IsEmpty() ? std::string() : std::string(reinterpret_cast<const char*>(a.Data()), a.Size());
}

inline Utils::ByteArray ToBytes(const std::string& s)
{
    return Utils::ByteArray(s.data(), s.size());
}

// Bytes that tell every position apart, so that a lost, doubled or swapped piece shows.
inline std::string Pattern(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i)
    {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// Counters and texts written from any thread, with bounded waits on them.
class Recorder
{
public:
    template <class F>
    void Update(F&& f)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            f();
        }
        m_cond.notify_all();
    }

    template <class F>
    auto Read(F&& f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = c_waitLimit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, pred);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
};

// The listener of one media-bridge transport: every state it was told of (read from the transport
// at the time) and the data.
class TranspListener : public MediaBridgeControl::IMbcTranspEvents
{
public:
    explicit TranspListener(Recorder& rec) : m_rec(rec) {}

    void SetTransp(MediaBridgeControl::IMbcTransp* p) { m_transp = p; }

    void OnStateChanged() override
    {
        const TranspState st = m_transp ? m_transp->State() : TranspState();
        m_rec.Update([&] { m_states.push_back(st); });
    }

    void OnRecvData(const Utils::ByteArray& data) override
    {
        m_rec.Update(
            [&]
            {
                m_data += ToStr(data);
                ++m_chunks;
            });
    }

    // Readers (any thread).
    size_t CountOf(TranspState::Value v)
    {
        return m_rec.Read(
            [&]
            {
                size_t n = 0;
                for (const TranspState& s : m_states)
                    n += s.Is(v) ? 1 : 0;
                return n;
            });
    }
    bool WaitState(TranspState::Value v, size_t count = 1)
    {
        return m_rec.WaitFor(
            [&]
            {
                size_t n = 0;
                for (const TranspState& s : m_states)
                    n += s.Is(v) ? 1 : 0;
                return n >= count;
            });
    }
    std::vector<TranspState> States()
    {
        return m_rec.Read([&] { return m_states; });
    }
    bool WaitBytes(size_t size)
    {
        return m_rec.WaitFor([&] { return m_data.size() >= size; });
    }
    std::string Data()
    {
        return m_rec.Read([&] { return m_data; });
    }

private:
    Recorder& m_rec;
    MediaBridgeControl::IMbcTransp* m_transp = nullptr;
    std::vector<TranspState> m_states;
    std::string m_data;
    size_t m_chunks = 0;
};

// Keeps the log records of a test in memory; waits on them are bounded.
class LogCapture
{
public:
    LogCapture()
        : m_out(std::make_shared<Output>()), m_token(YrLogV2::LogRoot::Instance().AttachOutput(m_out))
    {
    }

    // Number of records whose text contains the piece.
    size_t Count(const std::string& piece) const
    {
        return m_out->rec.Read([&] { return CountLocked(piece); });
    }

    bool Has(const std::string& piece) const { return Count(piece) > 0; }

    // Index of the first record containing the piece, or -1.
    int IndexOf(const std::string& piece) const
    {
        return m_out->rec.Read(
            [&]
            {
                for (size_t i = 0; i < m_out->texts.size(); ++i)
                    if (m_out->texts[i].find(piece) != std::string::npos)
                        return static_cast<int>(i);
                return -1;
            });
    }

    bool WaitFor(const std::string& piece, size_t count = 1) const
    {
        return m_out->rec.WaitFor([&] { return CountLocked(piece) >= count; });
    }

    std::string Dump() const
    {
        return m_out->rec.Read(
            [&]
            {
                std::string s;
                for (const std::string& l : m_out->lines)
                    s += l + "\n";
                return s;
            });
    }

private:
    struct Output : YrLogV2::ILogOutput
    {
        void Write(const YrLogV2::LogRecord& record, const std::string& line) override
        {
            rec.Update(
                [&]
                {
                    texts.push_back(record.text);
                    lines.push_back(line);
                });
        }
        mutable Recorder rec;
        std::vector<std::string> texts;
        std::vector<std::string> lines;
    };

    size_t CountLocked(const std::string& piece) const
    {
        size_t n = 0;
        for (const std::string& t : m_out->texts)
            n += t.find(piece) != std::string::npos ? 1 : 0;
        return n;
    }

    std::shared_ptr<Output> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_token;
};

} // namespace BridgeTest
