#include <atomic>
#include <memory>
#include <thread>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgParam.h"
#include "iCore/MsgQueue.h"
#include "iCoreTestUtils.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

// Counts its live copies, so tests see when a queued message is destroyed.
struct Tracked
{
    explicit Tracked(std::atomic<int>& live) : m_live(&live) { ++*m_live; }
    Tracked(const Tracked& o) : m_live(o.m_live) { ++*m_live; }
    ~Tracked() { --*m_live; }
    std::atomic<int>* m_live;
};

class Receiver : public MsgObject
{
public:
    Receiver(Recorder& rec, Signal& got) : m_rec(rec), m_got(got) {}
    ~Receiver() override { m_destroyedOnThread = Platform::Thread::GetCurrentThreadID(); }

    void OnValue(int v)
    {
        m_rec.Add(v);
        m_got.Set();
    }
    void OnTracked(Tracked) { m_got.Set(); }

    static std::atomic<void*> m_destroyedOnThread;

private:
    Recorder& m_rec;
    Signal& m_got;
};
std::atomic<void*> Receiver::m_destroyedOnThread{nullptr};

// ------------------------------------------------------------------------------------------------
// Order of delivery

TEST(MsgObjectTest, ForeignPostsRunInPostingOrder)
{
    TestThread t;
    Recorder rec;
    Signal got;
    Receiver* r = nullptr;
    t.Call([&] { r = new Receiver(rec, got); });

    const int n = 2000;
    for (int i = 0; i < n; ++i)
        r->PutMsg(&Receiver::OnValue, i);
    ASSERT_TRUE(got.Wait(n));

    std::vector<int> expected(n);
    for (int i = 0; i < n; ++i)
        expected[i] = i;
    EXPECT_EQ(expected, rec.Values());
    t.Call([&] { delete r; });
}

TEST(MsgObjectTest, PostsOfSeveralThreadsKeepEachPostersOrder)
{
    TestThread t;
    Recorder rec;
    Signal got;
    Receiver* r = nullptr;
    t.Call([&] { r = new Receiver(rec, got); });

    const int perThread = 1000;
    std::thread a(
        [&]
        {
            for (int i = 0; i < perThread; ++i)
                r->PutMsg(&Receiver::OnValue, i);
        });
    std::thread b(
        [&]
        {
            for (int i = 0; i < perThread; ++i)
                r->PutMsg(&Receiver::OnValue, 100000 + i);
        });
    a.join();
    b.join();
    ASSERT_TRUE(got.Wait(2 * perThread));

    int nextA = 0, nextB = 100000;
    for (int v : rec.Values())
    {
        if (v < 100000)
            EXPECT_EQ(nextA++, v);
        else
            EXPECT_EQ(nextB++, v);
    }
    EXPECT_EQ(perThread, nextA);
    EXPECT_EQ(100000 + perThread, nextB);
    t.Call([&] { delete r; });
}

TEST(MsgObjectTest, SameThreadPostNeverRunsInsideTheCall)
{
    TestThread t;
    Recorder rec;
    Signal got;
    Receiver* r = nullptr;
    bool ranInside = true;
    t.Call(
        [&]
        {
            r = new Receiver(rec, got);
            r->PutFunctor(
                [&]
                {
                    r->PutMsg(&Receiver::OnValue, 2);
                    ranInside = !rec.Values().empty();
                    rec.Add(1);
                });
            r->PutMsg(&Receiver::OnValue, 3);
        });
    ASSERT_TRUE(got.Wait(2));
    EXPECT_FALSE(ranInside);
    // 2 was posted while 1 ran, after 3 had been queued.
    EXPECT_EQ((std::vector<int>{1, 3, 2}), rec.Values());
    t.Call([&] { delete r; });
}

TEST(MsgObjectTest, NullMessageIsFatal)
{
    EXPECT_EXIT(
        {
            TestThread t;
            t.Call(
                [&]
                {
                    TestObject o;
                    o.PutMsgToThread(nullptr);
                });
        },
        ::testing::ExitedWithCode(3), "pMsg");
}

// ------------------------------------------------------------------------------------------------
// Destruction

TEST(MsgObjectTest, QueuedMessagesOfADestroyedObjectNeverRun)
{
    TestThread t;
    Recorder rec;
    Signal got;
    std::atomic<int> live{0};
    Receiver* r = nullptr;
    Receiver* other = nullptr;
    t.Call(
        [&]
        {
            r = new Receiver(rec, got);
            other = new Receiver(rec, got);
        });

    // Hold the thread so that the foreign posts below are all queued behind the destroying message.
    detail::FlagEvent release;
    Signal holding;
    other->PutFunctor(
        [&]
        {
            holding.Set();
            release.Wait(~0u);
            delete r;
        });
    ASSERT_TRUE(holding.Wait());
    for (int i = 0; i < 5; ++i)
    {
        r->PutMsg(&Receiver::OnValue, i);
        r->PutMsgToThread(new MsgParam<Receiver, Tracked>(r, &Receiver::OnTracked, Tracked(live)));
    }
    other->PutMsg(&Receiver::OnValue, 100);
    EXPECT_EQ(5, live.load());
    release.Set();

    ASSERT_TRUE(got.Wait(1));
    t.Call([] {});
    EXPECT_EQ(std::vector<int>{100}, rec.Values());
    EXPECT_EQ(0, live.load()); // dropped messages were destroyed with their parameters
    t.Call([&] { delete other; });
}

TEST(MsgObjectTest, MessagesOfTheBatchInHandDieWithTheirObject)
{
    TestThread t;
    Recorder rec;
    Signal got;
    t.Call(
        [&]
        {
            auto* a = new Receiver(rec, got);
            auto* b = new Receiver(rec, got);
            // Queued together, so taken together: the first deletes b while b's messages wait behind it.
            a->PutFunctor([b] { delete b; });
            b->PutMsg(&Receiver::OnValue, 1);
            b->PutMsg(&Receiver::OnValue, 2);
            a->PutMsg(&Receiver::OnValue, 3);
            a->PutFunctor([a] { delete a; });
            a->PutMsg(&Receiver::OnValue, 4);
        });
    ASSERT_TRUE(got.Wait(1));
    t.Call([] {});
    EXPECT_EQ(std::vector<int>{3}, rec.Values());
}

TEST(MsgObjectTest, ForeignPostToADestroyedObjectIsDropped)
{
    TestThread t;
    Recorder rec;
    Signal got;
    std::atomic<int> live{0};
    Receiver* r = nullptr;
    MsgPostTarget target;
    t.Call(
        [&]
        {
            r = new Receiver(rec, got);
            target = r->PostTarget();
        });
    EXPECT_TRUE(target.Put(std::make_unique<MsgParam<Receiver, int>>(r, &Receiver::OnValue, 7)));
    ASSERT_TRUE(got.Wait());
    t.Call([&] { delete r; });

    static std::string s_reported;
    s_reported.clear();
    SetDroppedMsgReporter([](const std::string& text) { s_reported = text; });
    const int64_t dropped = DroppedMsgCount();
    EXPECT_FALSE(target.Put(std::make_unique<MsgParam<Receiver, Tracked>>(r, &Receiver::OnTracked, Tracked(live))));
    SetDroppedMsgReporter(nullptr);
    EXPECT_EQ(0, live.load());
    EXPECT_EQ(dropped + 1, DroppedMsgCount());
    EXPECT_EQ(0u, s_reported.find("Message dropped (Destroy processed): Msg ")) << s_reported;

    // Also after the thread itself is gone.
    t.Stop();
    EXPECT_FALSE(target.Put(std::make_unique<MsgParam<Receiver, int>>(r, &Receiver::OnValue, 8)));
    EXPECT_EQ(std::vector<int>{7}, rec.Values());
}

TEST(MsgObjectTest, PostsRacingWithDestructionAreDeliveredOrDropped)
{
    // Posters hammer objects that the thread destroys meanwhile; every message either runs before
    // the destruction or is dropped, and none is lost or run late (the sanitizer sees any misuse).
    TestThread t;
    for (int round = 0; round < 20; ++round)
    {
        Recorder rec;
        Signal got;
        std::atomic<int> live{0};
        Receiver* r = nullptr;
        MsgPostTarget target;
        t.Call(
            [&]
            {
                r = new Receiver(rec, got);
                target = r->PostTarget();
            });
        std::atomic<bool> go{false};
        std::atomic<int> accepted{0};
        std::thread poster(
            [&]
            {
                while (!go)
                    std::this_thread::yield();
                for (int i = 0; i < 500; ++i)
                    if (target.Put(std::make_unique<MsgParam<Receiver, Tracked>>(r, &Receiver::OnTracked, Tracked(live))))
                        ++accepted;
            });
        t.Call(
            [&]
            {
                go = true;
                Platform::SleepMs(round % 3);
                delete r;
            });
        poster.join();
        t.Call([] {});
        EXPECT_EQ(0, live.load());
        EXPECT_GE(accepted.load(), got.Count());
    }
}

// A message whose parameter posts back to its object when it is destroyed.
struct PostsBackOnDestroy
{
    TestObject* m_obj;
    explicit PostsBackOnDestroy(TestObject* o) : m_obj(o) {}
    PostsBackOnDestroy(const PostsBackOnDestroy&) = default;
    void operator()() {}
    ~PostsBackOnDestroy()
    {
        if (m_obj)
            m_obj->PutMsg(&TestObject::OnInt, 1);
    }
};

TEST(MsgObjectTest, SameThreadPostDuringDestructionIsFatal)
{
    EXPECT_EXIT(
        {
            TestThread t;
            t.Call(
                []
                {
                    auto* o = new TestObject();
                    o->PutMsgToThread(new MsgFunctor<PostsBackOnDestroy>(PostsBackOnDestroy(o)));
                    delete o;
                });
        },
        ::testing::ExitedWithCode(3), "Destroy requested");
}

TEST(MsgObjectTest, ObjectMustBeMadeOnItsThread)
{
    EXPECT_EXIT(
        {
            TestThread t;
            TestObject o(t.Thread(), MsgObject::OwnedByHolder);
        },
        ::testing::ExitedWithCode(3), "Not in thread context");
}

TEST(MsgObjectTest, ObjectNeedsARunningThread)
{
    // A thread-owned object that makes another object while the thread tears down.
    struct Late : MsgObject
    {
        Late() : MsgObject(OwnedByThread) {}
        ~Late() override { TestObject another; }
    };
    EXPECT_EXIT({ ThreadRunnerFunc runner(TestProfile(), [](MsgThread&) { new Late(); }); },
                ::testing::ExitedWithCode(3), "m_thread->IsRunning");
}

TEST(MsgObjectTest, NoCurrentThreadIsFatal)
{
    EXPECT_EXIT({ TestObject o; }, ::testing::ExitedWithCode(3), "pThread");
}

// ------------------------------------------------------------------------------------------------
// Ownership and life accounting

struct OwnedProbe : MsgObject
{
    explicit OwnedProbe(std::atomic<void*>& destroyedOn)
        : MsgObject(OwnedByThread), m_destroyedOn(destroyedOn)
    {
    }
    ~OwnedProbe() override { m_destroyedOn = Platform::Thread::GetCurrentThreadID(); }
    void Never(int) { ADD_FAILURE() << "a queued message ran after the exit request"; }
    std::atomic<void*>& m_destroyedOn;
};

TEST(MsgObjectTest, ThreadOwnedObjectsAreDestroyedOnTheirThreadAtItsEnd)
{
    std::atomic<void*> destroyedOn{nullptr};
    void* threadId = nullptr;
    const int64_t liveBefore = LiveMsgObjectCount();
    {
        TestThread t;
        t.Call(
            [&]
            {
                threadId = Platform::Thread::GetCurrentThreadID();
                new OwnedProbe(destroyedOn);
                // Deleted early: unregistered, so not deleted a second time at the end.
                MsgObject* early = new TestObject(MsgObject::OwnedByThread);
                delete early;
                EXPECT_EQ(1, t.Thread().LiveObjectCount());
            });
        EXPECT_EQ(liveBefore + 1, LiveMsgObjectCount());
        EXPECT_EQ(nullptr, destroyedOn.load());
    }
    EXPECT_EQ(threadId, destroyedOn.load());
    EXPECT_EQ(liveBefore, LiveMsgObjectCount());
}

TEST(MsgObjectTest, MessagesQueuedBehindTheExitRequestNeverRun)
{
    std::atomic<void*> destroyedOn{nullptr};
    TestThread t;
    t.Call(
        [&]
        {
            auto* probe = new OwnedProbe(destroyedOn);
            probe->PutFunctor([&t] { t.Thread().RequestExit(); });
            probe->PutMsg(&OwnedProbe::Never, 1);
        });
    EXPECT_TRUE(t.Runner().WaitFinished());
    EXPECT_NE(nullptr, destroyedOn.load());
}

TEST(MsgObjectTest, LeakedObjectHaltsAtThreadExit)
{
    EXPECT_EXIT(
        {
            TestThread t;
            t.Call([] { new TestObject(); });
        },
        ::testing::ExitedWithCode(3), "1 message object\\(s\\) not destroyed at thread exit");
}

// ------------------------------------------------------------------------------------------------
// Parameter messages

class ParamTarget : public MsgObject
{
public:
    void ByValue(std::string s) { m_text = s; }
    void ByConstRef(const std::string& s) { m_text = s; }
    void ByShared(boost::shared_ptr<int> p) { m_shared = p; }
    void ByFunction(boost::function<void()> fn) { fn(); }
    void NoParam() { ++m_calls; }

    std::string m_text;
    boost::shared_ptr<int> m_shared;
    int m_calls = 0;
};

TEST(MsgParamTest, CallsTheMemberWithTheStoredParameter)
{
    TestThread t;
    t.Call(
        [&]
        {
            auto* p = new ParamTarget();
            auto shared = boost::make_shared<int>(5);
            int captured = 0;
            p->PutMsg(&ParamTarget::ByValue, std::string("value"));
            p->PutFunctor([p] { EXPECT_EQ("value", p->m_text); });
            p->PutMsg(&ParamTarget::ByConstRef, std::string("ref"));
            p->PutFunctor([p] { EXPECT_EQ("ref", p->m_text); });
            p->PutMsg(&ParamTarget::ByShared, shared);
            p->PutMsg(&ParamTarget::ByFunction, boost::function<void()>([&captured] { captured = 42; }));
            p->PutMsg(&ParamTarget::NoParam);
            p->PutFunctor(
                [p, shared, &captured]
                {
                    EXPECT_EQ(shared, p->m_shared);
                    EXPECT_EQ(42, captured);
                    EXPECT_EQ(1, p->m_calls);
                    delete p;
                });
        });
    t.Call([] {});
}

TEST(MsgParamTest, InfoNamesObjectAndParameterTypes)
{
    TestThread t;
    t.Call(
        []
        {
            ParamTarget p;
            MsgParam<ParamTarget, int> m(nullptr, nullptr, 3);
            (void)p;
            EXPECT_EQ("Msg " + detail::TypeText(typeid(ParamTarget)) + " param int", m.Info());
            EXPECT_NE(std::string::npos, m.Info().find("ParamTarget"));
        });
}

struct IntSink
{
    void Take(int v) { m_v = v; }
    int m_v = 0;
};

TEST(MsgParamTest, CopyingNeedsAKeptParameter)
{
    IntSink sink;
    MsgParam<IntSink, int> kept(&sink, &IntSink::Take, 9, true);
    MsgParam<IntSink, int> copy(kept);
    copy.Execute();
    EXPECT_EQ(9, sink.m_v);
    EXPECT_EQ(9, copy.GetParam());

    using IntMsg = MsgParam<IntSink, int>;
    IntMsg notKept(&sink, &IntSink::Take, 1);
    EXPECT_EXIT({ IntMsg c(notKept); }, ::testing::ExitedWithCode(3), "m_keepParam");
}

TEST(MsgParamTest, AKeptParameterSurvivesTheCall)
{
    struct Sink
    {
        void Take(std::string s) { m_got = std::move(s); }
        std::string m_got;
    } sink;
    MsgParam<Sink, std::string> kept(&sink, &Sink::Take, std::string("stay"), true);
    kept.Execute();
    EXPECT_EQ("stay", kept.GetParam());
    MsgParam<Sink, std::string> moved(&sink, &Sink::Take, std::string("go"));
    moved.Execute();
    EXPECT_EQ("go", sink.m_got);
}

} // namespace
