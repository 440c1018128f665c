#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <QMutex>
#include <gtest/gtest.h>
#include "ESS/CppLocation.h"
#include "YrLogV2/Tracer.h"
#include "LogTestUtils.h"
#include "common/NewCounter.h"

using namespace YrLogV2;

namespace
{

using TestUtils::CountNew;

using LogFilteredPathTest = YrLogV2Test::LogFixture;

// Every way of writing a record that the node's level filters out.
void WriteFiltered(const Log& log, const std::string& text, const std::wstring& wide, int i)
{
    log.Add(LogTrace, "value {} and {}", i, text);
    log.Add(LogTrace, L"wide {} {}", wide, text);
    log.Add(LogTrace, std::string("{}"), i);
    log.Put("raw text", LogTrace);
    log.MakeStream(LogTrace) << "stream " << i << text;
    Tracer::Trace(ESS_LOCATION, true, log, LogTrace, text);
    (void)log.Active(LogTrace);
}

TEST_F(LogFilteredPathTest, AFilteredRecordAllocatesNothing)
{
    Log log(LogRoot::RootLog(), "FilteredAlloc");
    const std::string text = "a text too long for the small-string buffer of std::string";
    const std::wstring wide = L"a wide text too long for the small-string buffer, surely";
    {
        // The counter sees allocations, so a zero below means something.
        CountNew count;
        log.Add(Info, "value {} and {}", 1, text);
        ASSERT_LT(0, count.Count());
    }
    CountNew count;
    for (int i = 0; i < 100; ++i)
        WriteFiltered(log, text, wide, i);
    EXPECT_EQ(0, count.Count());
}

TEST_F(LogFilteredPathTest, AFilteredRecordDoesNotWaitForTheDeliveryMutex)
{
    // Another thread holds the delivery mutex throughout; filtered records must still get through.
    Log log(LogRoot::RootLog(), "FilteredLock");
    QMutex& m = LogRoot::Instance().Mutex();
    m.lock();
    std::mutex doneLock;
    std::condition_variable doneCond;
    bool finished = false;
    std::thread writer(
        [&]
        {
            for (int i = 0; i < 100; ++i)
                WriteFiltered(log, "text", L"wide", i);
            std::lock_guard<std::mutex> lock(doneLock);
            finished = true;
            doneCond.notify_one();
        });
    bool gotThrough = false;
    {
        std::unique_lock<std::mutex> lock(doneLock);
        gotThrough = doneCond.wait_for(lock, std::chrono::seconds(10), [&] { return finished; });
    }
    m.unlock();
    writer.join();
    EXPECT_TRUE(gotThrough);
    EXPECT_TRUE(Texts(log).empty());
}

} // namespace
