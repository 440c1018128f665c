#include <pthread.h>
#include <signal.h>
#include <dirent.h>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "ESS/Assert.h"
#include "Platform/FaultSignals.h"
#include "Platform/Thread.h"
#include "Utils/ThreadNames.h"

namespace
{

using ::testing::HasSubstr;

// A thread whose body is a test's lambda.
class FnThread : public Platform::Thread
{
public:
    FnThread(const std::string& name, std::function<void()> fn, unsigned stackSize = 0)
        : Platform::Thread(name, stackSize), m_fn(std::move(fn))
    {
    }
    ~FnThread() override { Wait(); }

private:
    void run() override { m_fn(); }

    std::function<void()> m_fn;
};

std::string RegisteredName(void* id)
{
    return Utils::ThreadNames::Instance().GetName(id);
}

std::set<std::string> TaskIds()
{
    std::set<std::string> res;
    if (DIR* d = opendir("/proc/self/task"))
    {
        while (dirent* e = readdir(d))
        {
            if (e->d_name[0] != '.')
                res.insert(e->d_name);
        }
        closedir(d);
    }
    return res;
}

TEST(PlatformThreadTest, NamesCarryTheCreatorsName)
{
    ASSERT_EQ("main", Platform::CurrentThreadName());

    std::string bridgeName, netName, bridgeSeenFromItself;
    void* bridgeId = nullptr;
    {
        FnThread bridge("Bridge",
                        [&]
                        {
                            bridgeSeenFromItself = Platform::CurrentThreadName();
                            FnThread net("NetThread", [&] { netName = Platform::CurrentThreadName(); });
                            net.Start(QThread::InheritPriority);
                            net.Wait();
                        });
        bridge.Start(QThread::NormalPriority);
        bridge.Wait();
        bridgeId = bridge.getID();
        bridgeName = bridge.Name();
    }
    EXPECT_EQ("Bridge/main", bridgeName);
    EXPECT_EQ("Bridge/main", bridgeSeenFromItself);
    EXPECT_EQ("NetThread/Bridge/main", netName);
    // The name is registered only while the body runs.
    EXPECT_EQ("", RegisteredName(bridgeId));
}

TEST(PlatformThreadTest, ThreadCreatedByAnUnregisteredThreadEndsWithASlash)
{
    Utils::ThreadNames::InstancePtr(); // the registry exists, the std::thread is not in it
    std::string name, inner;
    std::thread foreign(
        [&]
        {
            FnThread t("NetThread", [&] { inner = Platform::CurrentThreadName(); });
            name = t.Name();
            t.Start(QThread::InheritPriority);
        });
    foreign.join();
    EXPECT_EQ("NetThread/", name);
    EXPECT_EQ("NetThread/", inner);
}

TEST(PlatformThreadTest, IdIsTheKernelThreadIdAndRegisteredWhileRunning)
{
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    bool started = false;
    FnThread t("Worker",
               [&]
               {
                   std::unique_lock<std::mutex> lock(m);
                   started = true;
                   cv.notify_all();
                   cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
               });
    t.Start(QThread::InheritPriority);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return started; }));
    }

    void* id = t.getID();
    EXPECT_EQ(1u, TaskIds().count(Platform::ThreadIdToString(id)));
    EXPECT_EQ("Worker/main", RegisteredName(id));
    // The kernel knows the name too (gdb, top).
    std::ifstream comm("/proc/self/task/" + Platform::ThreadIdToString(id) + "/comm");
    std::string kernelName;
    std::getline(comm, kernelName);
    EXPECT_EQ("Worker/main", kernelName);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    t.Wait();
    EXPECT_EQ("", RegisteredName(id));
    EXPECT_EQ(id, t.getID()); // kept after the end
}

TEST(PlatformThreadTest, CurrentThreadIdIsGettid)
{
    EXPECT_EQ(1u, TaskIds().count(Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID())));
    EXPECT_EQ(std::to_string(getpid()), Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID()));
}

TEST(PlatformThreadTest, IdToStringIsUnsignedDecimal)
{
    EXPECT_EQ("6699", Platform::ThreadIdToString(reinterpret_cast<void*>(0x1A2B)));
    EXPECT_EQ("0", Platform::ThreadIdToString(nullptr));
    EXPECT_EQ("18446744073709551615", Platform::ThreadIdToString(reinterpret_cast<void*>(~uintptr_t(0))));
}

TEST(PlatformThreadTest, DestructorWaitsForARunningBody)
{
    std::mutex m;
    std::condition_variable cv;
    bool destroying = false;
    std::atomic<bool> bodyEnded(false);
    auto t = std::make_unique<FnThread>("Slow",
                                        [&]
                                        {
                                            // Goes on only once the owner is about to destroy the object,
                                            // then takes its time.
                                            std::unique_lock<std::mutex> lock(m);
                                            cv.wait_for(lock, std::chrono::seconds(20),
                                                        [&] { return destroying; });
                                            lock.unlock();
                                            std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                            bodyEnded = true;
                                        });
    t->Start(QThread::InheritPriority);
    {
        std::lock_guard<std::mutex> lock(m);
        destroying = true;
    }
    cv.notify_all();
    t.reset();
    EXPECT_TRUE(bodyEnded);

    // Never started: destroyed without waiting.
    FnThread idle("Idle", [] {});
}

TEST(PlatformThreadTest, BodyRunsWithAnAlternateSignalStack)
{
    stack_t ss{};
    bool ok = false;
    FnThread t("Alt", [&] { ok = (sigaltstack(nullptr, &ss) == 0); });
    t.Start(QThread::InheritPriority);
    t.Wait();
    ASSERT_TRUE(ok);
    EXPECT_EQ(0, ss.ss_flags & SS_DISABLE);
    EXPECT_GE(ss.ss_size, Platform::AltSignalStackScope::c_size);
}

TEST(PlatformThreadTest, StackSizeIsHonoured)
{
    size_t size = 0;
    FnThread t(
        "Big",
        [&]
        {
            pthread_attr_t attr;
            if (pthread_getattr_np(pthread_self(), &attr) == 0)
            {
                pthread_attr_getstacksize(&attr, &size);
                pthread_attr_destroy(&attr);
            }
        },
        4 * 1024 * 1024);
    t.Start(QThread::InheritPriority);
    t.Wait();
    EXPECT_GE(size, 4u * 1024 * 1024);
}

// What runs after the body (thread-specific destructors of the C library and of Qt) is over when
// Wait returns: a library unloaded right afterwards leaves nothing running behind.
TEST(PlatformThreadTest, WaitReturnsOnlyAfterTheThreadsExitCleanupRan)
{
    static std::atomic<bool> s_cleanupDone(false);
    pthread_key_t key;
    ASSERT_EQ(0, pthread_key_create(&key, [](void*)
                                    {
                                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                        s_cleanupDone = true;
                                    }));
    void* id = nullptr;
    {
        FnThread t("Exiting", [&] { pthread_setspecific(key, &key); });
        t.Start(QThread::InheritPriority);
        t.Wait();
        EXPECT_TRUE(s_cleanupDone.load());
        id = t.getID();
    }
    pthread_key_delete(key);
    // The kernel drops the task a moment after the join's wake-up; bounded.
    for (int i = 0; i < 1000 && TaskIds().count(Platform::ThreadIdToString(id)) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(0u, TaskIds().count(Platform::ThreadIdToString(id)));
}

TEST(PlatformThreadDeathTest, EscapingExceptionHaltsWithNameTextAndStack)
{
    EXPECT_EXIT(
        {
            FnThread t("Thrower", [] { throw std::runtime_error("boom"); });
            t.Start(QThread::InheritPriority);
            t.Wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(3),
        "Aborted! .*Halt on unexpected exception at location Platform::Thread\n"
        ".*Exception type 'std::runtime_error' info 'boom'"
        ".*in thread Thrower/main \\([0-9]+\\)"
        ".*\\* Stack trace \\*\n(.*\n)*Platform::Thread::ThreadEntry\\(\\)\n");
}

__attribute__((noinline)) void CheckOnWorker(int value)
{
    ESS_ASSERT(value == 1);
    asm volatile("" ::: "memory");
}

TEST(PlatformThreadDeathTest, FailedAssertionHaltsWithTheThreadsNameAndStack)
{
    EXPECT_EXIT(
        {
            FnThread t("Asserter", [] { CheckOnWorker(2); });
            t.Start(QThread::InheritPriority);
            t.Wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(3),
        "\n>>>\nvalue == 1\n<<<\n"
        ".*in thread Asserter/main \\([0-9]+\\)"
        "(.|\n)*\n[^\n]*CheckOnWorker\\(int\\)[^\n]*\n" // the optimiser may name a clone
        "(.|\n)*Platform::Thread::ThreadEntry\\(\\)\n");
}

TEST(PlatformThreadDeathTest, GetIdBeforeStartHalts)
{
    EXPECT_EXIT(
        {
            FnThread t("Never", [] {});
            t.getID();
        },
        ::testing::ExitedWithCode(3), HasSubstr("m_id != 0"));
}

} // namespace
