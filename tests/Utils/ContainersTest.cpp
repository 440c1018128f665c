#include <gtest/gtest.h>
#include <boost/ptr_container/exception.hpp>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "Utils/Mutexed.h"
#include "Utils/StatisticElement.h"
#include "Utils/VectorUtils.h"
#include "Utils/VirtDestroyList.h"

namespace
{

typedef Utils::StatisticElement<int, int64_t, unsigned int> Stat;

// Records its destruction in a shared log.
class Recorder : public Utils::IVirtualDestroy
{
public:
    Recorder(std::vector<std::string>& log, const std::string& name) : m_log(log), m_name(name) {}
    ~Recorder() override { m_log.push_back(m_name); }

private:
    std::vector<std::string>& m_log;
    std::string m_name;
};

struct Plain
{
    Plain(std::vector<std::string>& log) : m_log(log) {}
    ~Plain() { m_log.push_back("held"); }
    std::vector<std::string>& m_log;
};

} // namespace

TEST(StatisticElementTest, TracksMinMaxSumAndLast)
{
    Stat s;
    EXPECT_TRUE(s.Empty());
    s.Add(5);
    s.Add(-3);
    s.Add(10);
    s.Add(0);
    EXPECT_EQ(s.Count(), 4u);
    EXPECT_EQ(s.Min(), -3);
    EXPECT_EQ(s.Max(), 10);
    EXPECT_EQ(s.Last(), 0);
    EXPECT_EQ(s.Sum(), 12);
    EXPECT_EQ(s.Average(), 3);
    EXPECT_FALSE(s.Overflow());

    // Copies are independent.
    Stat copy = s;
    copy.Add(100);
    EXPECT_EQ(s.Count(), 4u);
    EXPECT_EQ(copy.Max(), 100);

    s.Clear();
    EXPECT_TRUE(s.Empty());
    s.Add(-7);
    EXPECT_EQ(s.Min(), -7);
    EXPECT_EQ(s.Max(), -7); // the first value sets both, even below the initial 0
}

TEST(StatisticElementTest, SumOverflowSetsFlag)
{
    Utils::StatisticElement<int, int32_t, unsigned int> s;
    s.Add(2147483647);
    EXPECT_FALSE(s.Overflow());
    s.Add(1);
    EXPECT_TRUE(s.Overflow());

    Utils::StatisticElement<int, int64_t, uint8_t> small;
    for (int i = 0; i < 255; ++i)
        small.Add(1);
    EXPECT_FALSE(small.Overflow());
    small.Add(1); // the count wraps to 0
    EXPECT_TRUE(small.Overflow());
}

TEST(StatisticElementDeathTest, EmptyHasNoSumOrAverage)
{
    EXPECT_DEATH({ Stat().Sum(); }, "!Empty\\(\\)");
    EXPECT_DEATH({ Stat().Average(); }, "!Empty\\(\\)");
}

TEST(VectorUtilsTest, ValidateIndexAndRemoveAllByValue)
{
    std::vector<int> v = {1, 2, 1, 3, 1};
    EXPECT_TRUE(Utils::ValidateIndex(v, 0));
    EXPECT_TRUE(Utils::ValidateIndex(v, 4));
    EXPECT_FALSE(Utils::ValidateIndex(v, 5));
    EXPECT_FALSE(Utils::ValidateIndex(v, -1));
    EXPECT_TRUE(Utils::ValidateIndex(v, 4u));
    EXPECT_FALSE(Utils::ValidateIndex(std::vector<int>(), 0));

    EXPECT_EQ(Utils::RemoveAllByValue(v, 1), 3u);
    EXPECT_EQ(v, (std::vector<int>{2, 3}));
    EXPECT_EQ(Utils::RemoveAllByValue(v, 9), 0u);

    int a = 0, b = 0;
    std::vector<int*> ptrs = {&a, &b, &a};
    EXPECT_EQ(Utils::RemoveAllByValue(ptrs, &b), 1u);
    EXPECT_EQ(ptrs.size(), 2u);
}

TEST(VirtDestroyListTest, DestroysLastToFirst)
{
    std::vector<std::string> log;
    {
        Utils::VirtDestroyList list;
        list.push_back(new Recorder(log, "a"));
        list.push_back(std::unique_ptr<Utils::IVirtualDestroy>(new Recorder(log, "b")));
        list.push_back(new Recorder(log, "c"));
        EXPECT_EQ(list.size(), 3u);
        EXPECT_TRUE(log.empty());
    }
    EXPECT_EQ(log, (std::vector<std::string>{"c", "b", "a"}));
}

TEST(VirtDestroyListTest, NullPointerThrows)
{
    Utils::VirtDestroyList list;
    try
    {
        list.push_back(static_cast<Utils::IVirtualDestroy*>(nullptr));
        FAIL() << "no exception";
    }
    catch (const boost::bad_pointer& e)
    {
        EXPECT_STREQ(e.what(), "Null pointer in 'push_back()'");
    }
    EXPECT_THROW(list.push_back(std::unique_ptr<Utils::IVirtualDestroy>()), boost::bad_pointer);
    EXPECT_TRUE(list.empty());
}

TEST(VirtDestroyHolderTest, RunsFunctionThenDestroysObject)
{
    std::vector<std::string> log;
    {
        std::unique_ptr<Utils::IVirtualDestroy> holder =
            std::make_unique<Utils::details::VirtDestroyHolder<Plain>>(std::make_unique<Plain>(log),
                                                                       [&log] { log.push_back("fn"); });
    }
    EXPECT_EQ(log, (std::vector<std::string>{"fn", "held"}));

    log.clear();
    {
        Utils::details::VirtDestroyHolder<Plain> holder(std::make_unique<Plain>(log));
        EXPECT_EQ(&holder.Get().m_log, &log);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"held"}));
}

TEST(MutexedTest, PtrHoldsTheLock)
{
    Utils::Mutexed<std::vector<int>, Platform::MutexRecursive> guarded(3, 7);
    {
        Utils::Mutexed<std::vector<int>, Platform::MutexRecursive>::Ptr p(guarded);
        EXPECT_EQ(p->size(), 3u);
        (*p)[0] = 1;
        // Recursive: the same thread may take it again.
        auto p2 = guarded.Lock();
        EXPECT_EQ((*p2)[0], 1);
    }

    Utils::Mutexed<int> counter(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&counter]
            {
                for (int i = 0; i < 5000; ++i)
                {
                    Utils::Mutexed<int>::Ptr p(counter);
                    ++*p;
                }
            });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(*counter.Lock(), 20000);
}

TEST(MutexedTest, LockGuardLocksAndUnlocks)
{
    Platform::Mutex m;
    {
        Utils::LockGuard guard(m);
        EXPECT_FALSE(m.tryLock());
    }
    EXPECT_TRUE(m.tryLock());
    m.unlock();
}

TEST(MutexedDeathTest, MovedFromPtrHalts)
{
    EXPECT_DEATH(
        {
            Utils::Mutexed<int> value(1);
            auto p = value.Lock();
            auto q = std::move(p);
            *p = 2;
        },
        "m_p != 0");
}
