#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "Utils/ThreadNames.h"
#include "Utils/ThreadsInfo.h"

namespace
{

using Utils::ThreadsInfo::ThreadList;
using Utils::ThreadsInfo::ThreadText;
using Utils::ThreadsInfo::Tracker;

// Collects the report's lines; the log can be made to look busy.
struct FakeLogState
{
    std::mutex lock;
    std::vector<std::string> lines;
    std::atomic<bool> busy{false};

    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> l(lock);
        return lines;
    }
};

class FakeLog : public Utils::ThreadsInfo::ILogTarget
{
public:
    explicit FakeLog(std::shared_ptr<FakeLogState> state) : m_state(state) {}

    bool ProbeFree(int waitMs) override { return !m_state->busy.load(); }
    void Write(const std::string& line) override
    {
        std::lock_guard<std::mutex> l(m_state->lock);
        m_state->lines.push_back(line);
    }

private:
    std::shared_ptr<FakeLogState> m_state;
};

std::unique_ptr<Tracker> MakeTracker(const std::shared_ptr<FakeLogState>& state, const ThreadList& list,
                                     bool subscribe = false)
{
    return std::make_unique<Tracker>(std::make_unique<FakeLog>(state), list, subscribe);
}

std::string Id(void* id)
{
    return Platform::ThreadIdToString(id);
}

class NamedThread : public Platform::Thread
{
public:
    explicit NamedThread(const std::string& name) : Platform::Thread(name) {}

    std::atomic<void*> id{nullptr};
    std::string listedName;
    bool listed = false;

private:
    void run() override
    {
        void* self = GetCurrentThreadID();
        id = self;
        for (const auto& t : Utils::ThreadsInfo::CurrentThreadList())
        {
            if (t.first == reinterpret_cast<uintptr_t>(self))
            {
                listed = true;
                listedName = t.second;
            }
        }
    }
};

} // namespace

TEST(ThreadsInfoTest, ThreadTextCountsUserAndSystemThreadsAndListsThem)
{
    const ThreadList list = {{11, ""}, {101, "main"}, {12, ""}, {1234567, "Bridge/main"}, {13, ""}};
    EXPECT_EQ("Threads: user 2, system 3\n system: 11, 12, 13\n   101: main\n1234567: Bridge/main",
              ThreadText(list, false).toStdString());
    EXPECT_EQ("Threads: user 2, system 3", ThreadText(list, true).toStdString());
}

TEST(ThreadsInfoTest, ThreadTextOfEdgeLists)
{
    EXPECT_EQ("no thread info", ThreadText(ThreadList(), false).toStdString());
    EXPECT_EQ("no thread info", ThreadText(ThreadList(), true).toStdString());
    EXPECT_EQ("Threads: user 0, system 1\n system: 7\n", ThreadText({{7, ""}}, false).toStdString());
    EXPECT_EQ("Threads: user 1, system 0\n system: \n     7: w", ThreadText({{7, "w"}}, false).toStdString());
}

TEST(ThreadsInfoTest, StartupLineDescribesTheGivenThreads)
{
    auto state = std::make_shared<FakeLogState>();
    auto empty = MakeTracker(state, ThreadList());
    ASSERT_EQ(1u, state->Lines().size());
    EXPECT_EQ("startup: no thread info", state->Lines()[0]);

    auto state2 = std::make_shared<FakeLogState>();
    auto tracker = MakeTracker(state2, {{5, ""}, {6, "main"}});
    EXPECT_EQ("startup: Threads: user 1, system 1\n system: 5\n     6: main", state2->Lines().at(0));
}

TEST(ThreadsInfoTest, CurrentThreadListHasOurThreadsWithTheirRegisteredNames)
{
    Utils::ThreadNames::Instance(); // registers this thread when it is the first use
    NamedThread t("InfoListThread");
    t.Start(QThread::InheritPriority);
    t.Wait();
    EXPECT_TRUE(t.listed);
    EXPECT_THAT(t.listedName, ::testing::StartsWith("InfoListThread/"));

    const ThreadList list = Utils::ThreadsInfo::CurrentThreadList();
    const uint64_t self = reinterpret_cast<uintptr_t>(Platform::Thread::GetCurrentThreadID());
    EXPECT_NE(list.end(),
              std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.first == self; }));
    // A finished thread leaves the snapshots, but Wait returns before the kernel has let the thread
    // go (its thread-exit work runs after that); on a loaded machine this can take a while, so
    // wait for it against a deadline rather than a count of short sleeps.
    const uint64_t gone = reinterpret_cast<uintptr_t>(t.id.load());
    ASSERT_NE(0u, gone);
    auto listed = [gone]
    {
        const ThreadList now = Utils::ThreadsInfo::CurrentThreadList();
        return std::find_if(now.begin(), now.end(), [&](const auto& p) { return p.first == gone; }) !=
               now.end();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool stillListed = listed();
    while (stillListed && std::chrono::steady_clock::now() < deadline)
    {
        Platform::SleepMs(2);
        stillListed = listed();
    }
    EXPECT_FALSE(stillListed) << "thread " << gone << " is still in /proc/self/task";
}

TEST(ThreadsInfoTest, BeginAndEndLinesNameTheCallingThread)
{
    auto state = std::make_shared<FakeLogState>();
    auto tracker = MakeTracker(state, ThreadList());
    void* self = Platform::Thread::GetCurrentThreadID();

    tracker->OnThreadEvent(Utils::ThreadTrackingInfo{true});
    EXPECT_EQ(std::vector<void*>{self}, tracker->StartedIds());
    tracker->OnThreadEvent(Utils::ThreadTrackingInfo{false});
    EXPECT_TRUE(tracker->StartedIds().empty());

    EXPECT_THAT(state->Lines(), ::testing::ElementsAre("startup: no thread info", "begin id " + Id(self),
                                                       "end id " + Id(self)));
}

TEST(ThreadsInfoTest, KeepsAtMost512StartedIdsAndAnEndRemovesEveryCopy)
{
    auto state = std::make_shared<FakeLogState>();
    auto tracker = MakeTracker(state, ThreadList());
    for (int i = 0; i < 513; ++i)
        tracker->OnThreadEvent(Utils::ThreadTrackingInfo{true});
    EXPECT_EQ(512u, tracker->StartedIds().size());
    // The 513th start is still logged, only not recorded.
    EXPECT_EQ(1u + 513u, state->Lines().size());

    tracker->OnThreadEvent(Utils::ThreadTrackingInfo{false});
    EXPECT_TRUE(tracker->StartedIds().empty());
}

TEST(ThreadsInfoTest, LinesOfABusyLogAreHeldBackAndWrittenFirstByTheNextFreeEvent)
{
    auto state = std::make_shared<FakeLogState>();
    auto tracker = MakeTracker(state, ThreadList());
    const std::string self = Id(Platform::Thread::GetCurrentThreadID());

    state->busy = true;
    tracker->OnThreadEvent(Utils::ThreadTrackingInfo{true});
    tracker->OnThreadEvent(Utils::ThreadTrackingInfo{false});
    EXPECT_EQ(1u, state->Lines().size()); // only the start-up line

    state->busy = false;
    tracker->OnThreadEvent(Utils::ThreadTrackingInfo{true});
    EXPECT_THAT(state->Lines(),
                ::testing::ElementsAre("startup: no thread info", "[blocked] begin id " + self,
                                       "[blocked] end id " + self, "begin id " + self));
}

TEST(ThreadsInfoTest, ASubscribedTrackerHearsThreadsStartAndEndOnTheirOwnThread)
{
    auto state = std::make_shared<FakeLogState>();
    auto tracker = MakeTracker(state, ThreadList(), true);

    NamedThread t("TrackedThread");
    t.Start(QThread::InheritPriority);
    t.Wait();
    const std::string id = Id(t.id.load());

    const std::vector<std::string> lines = state->Lines();
    const auto begin = std::find(lines.begin(), lines.end(), "begin id " + id);
    const auto end = std::find(lines.begin(), lines.end(), "end id " + id);
    EXPECT_NE(lines.end(), begin);
    EXPECT_NE(lines.end(), end);
    EXPECT_LT(begin - lines.begin(), end - lines.begin());
    const std::vector<void*> started = tracker->StartedIds();
    EXPECT_EQ(started.end(), std::find(started.begin(), started.end(), t.id.load()));

    // After the tracker is gone its thread handler is never called again.
    tracker.reset();
    const size_t before = state->Lines().size();
    NamedThread t2("UntrackedThread");
    t2.Start(QThread::InheritPriority);
    t2.Wait();
    EXPECT_EQ(before, state->Lines().size());
}
