#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "Utils/FuncThread.h"
#include "Utils/ThreadNames.h"
#include "Utils/ThreadTracking.h"

namespace
{

using ::testing::HasSubstr;

TEST(FuncThreadTest, RunsBodyThenExitFunctionOnTheNewThread)
{
    std::vector<std::string> order;
    std::mutex m;
    void* bodyThread = nullptr;
    void* exitThread = nullptr;
    std::string name;
    {
        auto t = Utils::ThreadRunFn(
            [&]
            {
                std::lock_guard<std::mutex> l(m);
                bodyThread = Platform::Thread::GetCurrentThreadID();
                name = Platform::CurrentThreadName();
                order.push_back("body");
            },
            "",
            [&]
            {
                std::lock_guard<std::mutex> l(m);
                exitThread = Platform::Thread::GetCurrentThreadID();
                order.push_back("exit");
            });
    } // the handle waits for the thread
    EXPECT_EQ((std::vector<std::string>{"body", "exit"}), order);
    EXPECT_EQ(bodyThread, exitThread);
    EXPECT_NE(Platform::Thread::GetCurrentThreadID(), bodyThread);
    EXPECT_EQ("ThreadRunFn/main", name);
}

TEST(FuncThreadTest, NameIsRegisteredWhileTheBodyRuns)
{
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    void* id = nullptr;
    auto t = Utils::ThreadRunFn(
        [&]
        {
            std::unique_lock<std::mutex> l(m);
            id = Platform::Thread::GetCurrentThreadID();
            cv.notify_all();
            cv.wait_for(l, std::chrono::seconds(20), [&] { return release; });
        },
        "Worker");
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(20), [&] { return id != nullptr; }));
        EXPECT_EQ("Worker/main", Utils::ThreadNames::Instance().GetName(id));
        release = true;
    }
    cv.notify_all();
    t.reset(); // waits for the thread
    EXPECT_EQ("", Utils::ThreadNames::Instance().GetName(id));
}

TEST(FuncThreadTest, TrackingReportsStartAndEndOnTheThread)
{
    struct Seen
    {
        bool started;
        void* thread;
        std::string name;
    };
    std::mutex m;
    std::vector<Seen> seen;
    Utils::NotificationHandle h = Utils::SubscribeThreadTracking(
        [&](const Utils::ThreadTrackingInfo& i)
        {
            std::lock_guard<std::mutex> l(m);
            seen.push_back(
                Seen{i.started, Platform::Thread::GetCurrentThreadID(), Platform::CurrentThreadName()});
        });

    std::atomic<void*> id(nullptr);
    Utils::ThreadRunFn([&] { id = Platform::Thread::GetCurrentThreadID(); }, "Tracked").reset();

    // Both have been delivered once the handle has waited for the thread: the start before the
    // name was registered, the end after it was removed.
    std::vector<Seen> mine;
    {
        std::lock_guard<std::mutex> l(m);
        for (const Seen& s : seen)
        {
            if (s.thread == id.load())
                mine.push_back(s);
        }
    }
    h.Reset();
    ASSERT_EQ(2u, mine.size());
    EXPECT_TRUE(mine[0].started);
    EXPECT_FALSE(mine[1].started);
    EXPECT_EQ("", mine[0].name);
    EXPECT_EQ("", mine[1].name);
}

TEST(FuncThreadDeathTest, ThrowingBodyRunsExitFunctionThenHalts)
{
    EXPECT_EXIT(Utils::ThreadRunFn([] { throw std::runtime_error("body failed"); }, "Bad",
                                   [] { fprintf(stderr, "exit function ran\n"); }),
                ::testing::ExitedWithCode(3),
                "exit function ran\n(.*\n)*.*Halt on unexpected exception at location Platform::Thread\n"
                ".*Exception type 'std::runtime_error' info 'body failed'");
    EXPECT_EXIT(Utils::ThreadRunFn(boost::function<void()>(), "x"), ::testing::ExitedWithCode(3),
                HasSubstr("\nfn\n"));
}

} // namespace
