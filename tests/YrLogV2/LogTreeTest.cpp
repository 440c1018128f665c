#include <atomic>
#include <cstdio>
#include <map>
#include <thread>
#include <QMutex>
#include <gtest/gtest.h>
#include "LogTestUtils.h"
#include "Utils/DebugLog.h"

using namespace YrLogV2;
using ::testing::ElementsAre;
using YrLogV2Test::LogFixture;

class LogTreeTest : public LogFixture
{
};

TEST_F(LogTreeTest, NodePathsFollowTheTree)
{
    Log bridge(LogRoot::RootLog(), "Bridge_to_prc");
    Log adapter(bridge, "MbcAdapter");
    Log client(adapter, "StlClient");
    Log launcher(bridge, "Exec_prcLouncher", 1, 0);

    EXPECT_EQ("root", LogRoot::RootLog().Path());
    EXPECT_EQ("Bridge_to_prc", bridge.Path());
    EXPECT_EQ("Bridge_to_prc.MbcAdapter.StlClient", client.Path());
    EXPECT_EQ("StlClient", client.Name());
    EXPECT_EQ(1, launcher.Mode());
    EXPECT_EQ(0, launcher.Mode2());

    client.Add(Info, "hello");
    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(1u, recs.size());
    EXPECT_EQ("Bridge_to_prc.MbcAdapter.StlClient", recs[0].node);
}

TEST_F(LogTreeTest, HandlesWithOneNameShareTheirNode)
{
    Log parent(LogRoot::RootLog(), "TwinParent");
    auto first = std::make_unique<Log>(parent, "LowLevelTransport");
    Log second(parent, "LowLevelTransport");
    Log copy(second);
    EXPECT_EQ(first->Path(), second.Path());

    LogRoot::Instance().SetLevels(c_defaultLevel, {{"TwinParent.LowLevelTransport", 8}});
    EXPECT_TRUE(first->Active(LogTrace));
    EXPECT_TRUE(copy.Active(LogTrace));

    first->Add(LogTrace, "one");
    first.reset();
    second.Add(LogTrace, "two");
    copy.Add(Info, "three");
    EXPECT_THAT(Texts(second), ElementsAre("one", "two", "three"));
}

TEST_F(LogTreeTest, LevelsByPathThenNameThenParent)
{
    Log a(LogRoot::RootLog(), "LvA");
    Log aSub(a, "Sub");
    Log b(LogRoot::RootLog(), "LvB");
    Log bSub(b, "Sub");
    Log bSubDeep(bSub, "Deep");

    // The default level applies everywhere at first.
    EXPECT_TRUE(aSub.Active(Info));
    EXPECT_FALSE(aSub.Active(LogTrace));

    LogRoot::Instance().SetLevels(5, {{"LvA", 16}, {"Sub", 3}, {"LvB.Sub", 8}});
    EXPECT_EQ(5, LogRoot::Instance().DefaultLevel());
    EXPECT_TRUE(LogRoot::RootLog().Active(Warning));
    EXPECT_FALSE(LogRoot::RootLog().Active(Info));
    EXPECT_TRUE(a.Active(16));
    EXPECT_FALSE(a.Active(17));
    // A rule for the bare name beats the parent's threshold; a rule for the path beats both.
    EXPECT_TRUE(aSub.Active(LogError));
    EXPECT_FALSE(aSub.Active(LogTraceOnce));
    EXPECT_TRUE(bSub.Active(LogTrace));
    EXPECT_TRUE(bSubDeep.Active(LogTrace));
    EXPECT_FALSE(b.Active(Info));

    // A node made after the table was set follows it too.
    Log late(a, "Late");
    Log lateSub(late, "Sub");
    EXPECT_TRUE(late.Active(16));
    EXPECT_FALSE(lateSub.Active(Warning));

    // Replacing the table drops the old rules.
    LogRoot::Instance().SetLevels(0, {});
    EXPECT_FALSE(a.Active(Important));
    a.Add(Important, "gone");
    EXPECT_TRUE(Texts(a).empty());
}

TEST_F(LogTreeTest, DeliveryHoldsTheRecursiveRootMutex)
{
    struct ProbeOutput : ILogOutput
    {
        void Write(const LogRecord&, const std::string&) override
        {
            QMutex& m = LogRoot::Instance().Mutex();
            bool foreign = true;
            std::thread t(
                [&]
                {
                    foreign = m.tryLock(1);
                    if (foreign)
                        m.unlock();
                });
            t.join();
            const bool own = m.tryLock();
            if (own)
                m.unlock();
            results.push_back(std::make_pair(foreign, own));
        }
        std::vector<std::pair<bool, bool>> results;
    };
    auto probe = std::make_shared<ProbeOutput>();
    auto link = LogRoot::Instance().AttachOutput(probe);
    Log log(LogRoot::RootLog(), "Probe");
    log.Add(Info, "probe");
    link.reset();

    ASSERT_EQ(1u, probe->results.size());
    EXPECT_FALSE(probe->results[0].first) << "another thread got the mutex during delivery";
    EXPECT_TRUE(probe->results[0].second) << "the mutex is not recursive";

    // Free again once the record is out.
    QMutex& m = LogRoot::Instance().Mutex();
    bool got = false;
    std::thread t(
        [&]
        {
            got = m.tryLock(1);
            if (got)
                m.unlock();
        });
    t.join();
    EXPECT_TRUE(got);
}

TEST_F(LogTreeTest, RecordLoggedDuringDeliveryFollowsTheCurrentOne)
{
    struct LoggingOutput : ILogOutput
    {
        explicit LoggingOutput(const Log& log) : log(log) {}
        void Write(const LogRecord& r, const std::string&) override
        {
            if (r.text == "outer")
                log.Add(Warning, "inner");
        }
        Log log;
    };
    Log log(LogRoot::RootLog(), "Reentrant");
    auto out = std::make_shared<LoggingOutput>(log);
    auto link = LogRoot::Instance().AttachOutput(out);
    log.Add(Info, "outer");
    log.Add(Info, "after");
    link.reset();
    EXPECT_THAT(Texts(log), ElementsAre("outer", "inner", "after"));
}

TEST_F(LogTreeTest, FailingOutputDoesNotStopTheOthers)
{
    struct ThrowingOutput : ILogOutput
    {
        void Write(const LogRecord&, const std::string&) override { throw std::runtime_error("disk full"); }
    };
    // Attached before the fixture's output gets the record.
    auto link = LogRoot::Instance().AttachOutput(std::make_shared<ThrowingOutput>());
    auto second = std::make_shared<MemoryOutput>();
    auto link2 = LogRoot::Instance().AttachOutput(second);
    Log log(LogRoot::RootLog(), "Failing");
    ::testing::internal::CaptureStderr();
    log.Add(Info, "still delivered");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("disk full"));
    EXPECT_THAT(Texts(log), ElementsAre("still delivered"));
    EXPECT_THAT(second->Texts("Failing"), ElementsAre("still delivered"));
}

TEST_F(LogTreeTest, DetachedOutputGetsNothingMore)
{
    Log log(LogRoot::RootLog(), "Detach");
    auto a = std::make_shared<MemoryOutput>();
    auto b = std::make_shared<MemoryOutput>();
    auto linkA = LogRoot::Instance().AttachOutput(a);
    auto linkB = LogRoot::Instance().AttachOutput(b);
    log.Add(Info, "both");
    linkA.reset();
    log.Add(Info, "only b");
    EXPECT_THAT(a->Texts("Detach"), ElementsAre("both"));
    EXPECT_THAT(b->Texts("Detach"), ElementsAre("both", "only b"));
}

TEST_F(LogTreeTest, DebugLogIsRedirectedIntoItsChild)
{
    Utils::DebugLogFile::Write(L"через отладку", true);
    EXPECT_THAT(m_out->Texts("UtilsDebugLog"), ElementsAre("через отладку"));
}

TEST_F(LogTreeTest, ConcurrentWritersLoseNothingAndKeepTheirOrder)
{
    const int c_threads = 4;
    const int c_records = 500;
    Log log(LogRoot::RootLog(), "Concurrent");
    std::vector<std::thread> threads;
    for (int t = 0; t < c_threads; ++t)
        threads.emplace_back(
            [&log, t]
            {
                Log own(log, "W");
                for (int i = 0; i < c_records; ++i)
                    own.Add(Info, "{} {}", t, i);
            });
    for (auto& t : threads)
        t.join();

    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(size_t(c_threads * c_records), recs.size());
    std::map<int, int> next;
    std::map<int, std::string> threadOf;
    for (const LogRecord& r : recs)
    {
        int t = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(r.text.c_str(), "%d %d", &t, &i));
        EXPECT_EQ(next[t], i) << "thread " << t;
        next[t] = i + 1;
        // Unnamed threads show their id; one writer keeps one id.
        EXPECT_FALSE(r.thread.empty());
        if (threadOf.count(t))
        {
            EXPECT_EQ(threadOf[t], r.thread);
        }
        threadOf[t] = r.thread;
    }
    EXPECT_EQ(size_t(c_threads), threadOf.size());
}
