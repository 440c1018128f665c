#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>
#include "ESS/Exception.h"
#include "NetTestUtils.h"
#include "YrNet/BlockedCreate.h"
#include "YrNet/NetThread.h"

using YrNet::NetThread;

namespace
{

// Records the threads of its construction and destruction.
struct Probe
{
    explicit Probe(std::atomic<void*>& destroyedOn, int sleepMs = 0) : m_destroyedOn(destroyedOn)
    {
        if (sleepMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        m_madeOn = Platform::Thread::GetCurrentThreadID();
    }
    ~Probe() { m_destroyedOn = Platform::Thread::GetCurrentThreadID(); }

    std::atomic<void*>& m_destroyedOn;
    void* m_madeOn = nullptr;
};

void* NetThreadId()
{
    return NetThread::Instance()->getID();
}

} // namespace

TEST(NetThreadTest, ConcurrentFirstUsersShareOneInstance)
{
    NetThread::DestroyInstance(true); // start from nothing, whatever ran before

    const int n = 8;
    std::atomic<bool> go{false};
    std::vector<NetThread*> seen(n, nullptr);
    std::vector<void*> ids(n, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back(
            [&, i]
            {
                while (!go.load())
                    std::this_thread::yield();
                Utils::SafeRef<NetThread> ref = NetThread::Instance();
                seen[i] = ref.Get();
                ids[i] = ref->getID();
            });
    go = true;
    for (std::thread& t : threads)
        t.join();

    for (int i = 0; i < n; ++i)
    {
        EXPECT_NE(nullptr, seen[i]);
        EXPECT_EQ(seen[0], seen[i]);
        EXPECT_EQ(ids[0], ids[i]);
    }
    EXPECT_EQ(0, seen[0]->SafeRefCount()); // every reference was released
}

TEST(NetThreadTest, RecreationAfterDestroyGivesANewThread)
{
    void* const before = NetThreadId();
    NetThread::DestroyInstance(true);
    void* const after = NetThreadId();
    EXPECT_NE(before, after);

    // The new loop works.
    std::atomic<void*> ranOn{nullptr};
    NetThread::Instance()->RunBlocked([&] { ranOn = Platform::Thread::GetCurrentThreadID(); });
    EXPECT_EQ(after, ranOn.load());
}

TEST(NetThreadDeathTest, InstanceAfterFinalDestroyHalts)
{
    EXPECT_DEATH(
        {
            NetThreadId();
            NetThread::DestroyInstance(false);
            NetThread::Instance();
        },
        "g_service && \"Get NetThread instance after destroy\"");
}

TEST(NetThreadTest, DestroyIsPromptAndSkipsQueuedHandlers)
{
    boost::asio::io_context* io = &NetThread::Instance()->GetIoService();

    std::atomic<bool> laterRan{false};
    std::shared_ptr<int> capture = std::make_shared<int>(1);
    std::weak_ptr<int> watch = capture;
    // The first handler holds the loop until the stop was requested, so the second is still queued.
    boost::asio::post(*io,
                      [io]
                      {
                          const auto deadline = std::chrono::steady_clock::now() + NetTest::c_waitLimit;
                          while (!io->stopped() && std::chrono::steady_clock::now() < deadline)
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                      });
    boost::asio::post(*io, [&laterRan, capture] { laterRan = true; });
    capture.reset();

    const auto start = std::chrono::steady_clock::now();
    NetThread::DestroyInstance(true);
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(laterRan.load());
    EXPECT_TRUE(watch.expired()); // destroyed without running
    EXPECT_LT(took, std::chrono::seconds(2));

    // Nothing pending at all: the work guard does not keep the loop alive.
    NetThreadId();
    const auto start2 = std::chrono::steady_clock::now();
    NetThread::DestroyInstance(true);
    EXPECT_LT(std::chrono::steady_clock::now() - start2, std::chrono::seconds(2));
}

TEST(NetThreadTest, BlockedCreateMakesAndDestroysOnTheNetworkThread)
{
    std::atomic<void*> destroyedOn{nullptr};
    void* madeOn = nullptr;
    {
        YrNet::BlockedCreate<Probe> holder;
        EXPECT_TRUE(holder.IsEmpty());
        const auto start = std::chrono::steady_clock::now();
        holder.Reset([&destroyedOn] { return new Probe(destroyedOn, 100); });
        // The caller resumed only after the factory had finished.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        madeOn = holder->m_madeOn;
        EXPECT_EQ(NetThreadId(), madeOn);

        // A second reset destroys the first object there before making the next.
        std::atomic<void*> secondDestroyedOn{nullptr};
        holder.Reset([&secondDestroyedOn] { return new Probe(secondDestroyedOn); });
        EXPECT_EQ(madeOn, destroyedOn.load());
        destroyedOn = nullptr;
        holder.Clear();
        EXPECT_EQ(madeOn, secondDestroyedOn.load());
    }
    {
        YrNet::BlockedCreate<Probe> holder;
        holder.Reset([&destroyedOn] { return new Probe(destroyedOn); });
    }
    EXPECT_EQ(NetThreadId(), destroyedOn.load());
    EXPECT_NE(Platform::Thread::GetCurrentThreadID(), destroyedOn.load());
}

TEST(NetThreadTest, FailuresOfBlockedWorkReachTheCaller)
{
    Utils::SafeRef<NetThread> t = NetThread::Instance();

    // A library failure arrives as one of our exceptions, with its text.
    try
    {
        t->RunBlocked(
            [] {
                throw boost::system::system_error(make_error_code(boost::asio::error::no_descriptors),
                                                  "open");
            });
        ADD_FAILURE() << "nothing thrown";
    }
    catch (const YrNet::NetThreadTaskError& e)
    {
        EXPECT_NE(std::wstring::npos, e.Message().find(L"open")) << e.what();
    }

    // Our own exceptions pass unchanged.
    EXPECT_THROW(t->RunBlocked([] { ESS_THROW_MSG(ESS::Exception, L"own"); }), ESS::Exception);
    EXPECT_THROW(t->RunBlocked([] { throw 5; }), YrNet::NetThreadTaskError);

    // A failing factory leaves the holder empty and the loop alive.
    YrNet::BlockedCreate<Probe> holder;
    EXPECT_THROW(holder.Reset([]() -> Probe* { throw std::runtime_error("factory"); }),
                 YrNet::NetThreadTaskError);
    EXPECT_TRUE(holder.IsEmpty());
    EXPECT_EQ(42, t->RunBlockedQuery<int>([] { return 42; }));
}

TEST(NetThreadDeathTest, MisuseHalts)
{
    // Waiting for the network thread on itself would never end.
    EXPECT_DEATH(
        {
            Utils::SafeRef<NetThread> t = NetThread::Instance();
            NetThread* p = t.Get();
            p->RunBlocked([p] { p->RunBlocked([] {}); });
        },
        "Blocking call into the network thread made on the network thread");
    // Network objects must be gone before the thread: their owners are destroyed first.
    EXPECT_DEATH(
        {
            YrNet::BlockedCreate<int> holder;
            NetThread::DestroyInstance(false);
        },
        "~SafeRefServer 1 TYPE \\{YrNet::NetThread\\}");
    EXPECT_DEATH(
        {
            YrNet::BlockedCreate<int> holder;
            holder.Reset([]() -> int* { return nullptr; });
        },
        "m_pObj != 0");
}

// An object still being made when the thread is destroyed is a broken shutdown order too: it
// halts like any other leftover instead of leaving the two threads waiting for each other.
TEST(NetThreadDeathTest, DestroyWhileAnObjectIsBeingMadeHalts)
{
    EXPECT_EXIT(
        {
            // Whatever goes wrong, this child ends by itself.
            std::thread(
                []
                {
                    std::this_thread::sleep_for(NetTest::c_waitLimit);
                    ::_exit(7);
                })
                .detach();

            boost::asio::io_context* io = &NetThread::Instance()->GetIoService();
            std::atomic<bool> factoryRuns{false};
            std::thread maker(
                [&factoryRuns, io]
                {
                    // Kept for the life of the process, as an owner that was never destroyed.
                    auto* holder = new YrNet::BlockedCreate<Utils::SafeRef<NetThread>>();
                    holder->Reset(
                        [&factoryRuns, io]
                        {
                            factoryRuns = true;
                            // Until the destruction has begun (and holds the global mutex).
                            while (!io->stopped())
                                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                            // What every network object does when it is made.
                            return new Utils::SafeRef<NetThread>(NetThread::Instance());
                        });
                });
            maker.detach();
            while (!factoryRuns.load())
                std::this_thread::yield();
            NetThread::DestroyInstance(false);
            ::_exit(0);
        },
        ::testing::ExitedWithCode(3), "~SafeRefServer [0-9]+ TYPE \\{YrNet::NetThread\\}");
}
