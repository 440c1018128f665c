#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"
#include "Utils/ThreadContext.h"

namespace iCoreTest
{

// Every wait in these tests is bounded by this; a correct runtime is far quicker.
constexpr std::chrono::milliseconds c_waitLimit(10000);

// A latch that tests wait on, bounded.
class Signal
{
public:
    void Set()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
        }
        m_cond.notify_all();
    }

    // True when set at least count times within the limit.
    bool Wait(int count = 1)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, c_waitLimit, [&] { return m_count >= count; });
    }

    int Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_count = 0;
};

// Records integers from any thread.
class Recorder
{
public:
    void Add(int v)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values.push_back(v);
    }

    std::vector<int> Values()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_values;
};

// Posts fn into the thread through a context that lives until the function has run or was dropped
// (a context's destruction cancels what it posted).
inline void PostFn(iCore::MsgThread& t, const std::function<void()>& fn, int delayMs = 0)
{
    auto ctx = std::make_shared<Utils::ThreadContext>(t.CreateContext());
    ctx->RunAsync([ctx, fn] { fn(); }, delayMs);
}

inline iCore::ThreadRunnerFuncProfile TestProfile(const std::string& name = "Test")
{
    return iCore::ThreadRunnerFuncProfile(0, name, 2, 0, 0, false);
}

// A message thread for a test; Call runs a function on it and waits.
class TestThread
{
public:
    explicit TestThread(const std::string& name = "Test")
        : m_runner(
              new iCore::ThreadRunnerFunc(TestProfile(name), [this](iCore::MsgThread& t) { m_thread = &t; }))
    {
    }

    iCore::MsgThread& Thread() { return *m_thread; }

    void Call(const std::function<void()>& fn)
    {
        ASSERT_TRUE(iCore::MsgThreadFnBlocked(*m_thread, [&](iCore::MsgThread&) { fn(); }));
    }

    // Ends the thread (RequestExit + join).
    void Stop() { m_runner.reset(); }

    iCore::ThreadRunnerFunc& Runner() { return *m_runner; }

private:
    iCore::MsgThread* m_thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
};

// A plain active object.
class TestObject : public iCore::MsgObject
{
public:
    explicit TestObject(ThreadOwnershipMode mode = OwnedByHolder) : iCore::MsgObject(mode) {}
    TestObject(iCore::MsgThread& thread, ThreadOwnershipMode mode) : iCore::MsgObject(thread, mode) {}

    void OnInt(int v) { m_values.push_back(v); }
    std::vector<int> m_values;
};

} // namespace iCoreTest
