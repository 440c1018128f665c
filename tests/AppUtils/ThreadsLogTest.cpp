#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <QMutex>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "Utils/ThreadsInfo.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace
{

// Waits, bounded, until the other thread has reached the stage.
bool WaitStage(const std::atomic<int>& stage, int value)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (stage.load() != value)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class ThreadsLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_out = std::make_shared<YrLogV2::MemoryOutput>();
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
        m_out->Clear();
    }

    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

} // namespace

TEST_F(ThreadsLogTest, TheReportWritesToTheThreadsNodeWithTheInfoTag)
{
    Utils::ThreadsInfo::Tracker tracker(Utils::ThreadsInfo::CreateLogTarget(), {{42, ""}}, false);
    const std::vector<YrLogV2::LogRecord> records = m_out->Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("Threads", records[0].node);
    EXPECT_EQ("Info", records[0].tag);
    EXPECT_EQ("startup: Threads: user 0, system 1\n system: 42\n", records[0].text);
}

TEST_F(ThreadsLogTest, AThreadEventWhileAnotherThreadHoldsTheLogIsHeldBack)
{
    Utils::ThreadsInfo::Tracker tracker(Utils::ThreadsInfo::CreateLogTarget(), {}, false);
    m_out->Clear();
    const std::string self = Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID());

    std::atomic<int> stage{0};
    std::thread holder(
        [&]
        {
            QMutex& m = YrLogV2::LogRoot::Instance().Mutex();
            m.lock();
            stage = 1;
            WaitStage(stage, 2);
            m.unlock();
        });
    if (!WaitStage(stage, 1))
    {
        stage = 2;
        holder.join();
        FAIL() << "the log holder did not start";
    }

    // Returns at once (a 1 ms probe), logging nothing.
    tracker.OnThreadEvent(Utils::ThreadTrackingInfo{true});
    stage = 2;
    holder.join();
    EXPECT_EQ(0u, m_out->Count());

    tracker.OnThreadEvent(Utils::ThreadTrackingInfo{false});
    EXPECT_THAT(m_out->Texts("Threads"),
                ::testing::ElementsAre("[blocked] begin id " + self, "end id " + self));
}
