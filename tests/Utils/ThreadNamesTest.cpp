#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "Utils/ThreadNames.h"

namespace
{

using ::testing::HasSubstr;

void* FakeId(uintptr_t v)
{
    return reinterpret_cast<void*>(v);
}

TEST(ThreadNamesTest, CreatorIsMainAndUnknownIdsHaveNoName)
{
    Utils::ThreadNames& names = Utils::ThreadNames::Instance();
    EXPECT_EQ(&names, Utils::ThreadNames::InstancePtr());
    EXPECT_EQ("main", names.GetName(Platform::Thread::GetCurrentThreadID()));
    EXPECT_EQ("", names.GetName(FakeId(0xFFFF0001)));
}

TEST(ThreadNamesTest, UnregisteringOneKeepsTheOthers)
{
    Utils::ThreadNames& names = Utils::ThreadNames::Instance();
    names.Register(FakeId(0xFFFF0011), "first");
    names.Register(FakeId(0xFFFF0012), "second");
    names.Unregister(FakeId(0xFFFF0011));
    EXPECT_EQ("", names.GetName(FakeId(0xFFFF0011)));
    EXPECT_EQ("second", names.GetName(FakeId(0xFFFF0012)));
    names.Register(FakeId(0xFFFF0011), "again");
    EXPECT_EQ("again", names.GetName(FakeId(0xFFFF0011)));
    names.Unregister(FakeId(0xFFFF0011));
    names.Unregister(FakeId(0xFFFF0012));
    EXPECT_EQ("main", names.GetName(Platform::Thread::GetCurrentThreadID()));
}

TEST(ThreadNamesTest, ConcurrentUseKeepsEveryEntry)
{
    Utils::ThreadNames& names = Utils::ThreadNames::Instance();
    std::atomic<int> mismatches(0);
    std::vector<std::thread> threads;
    for (uintptr_t t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                for (uintptr_t i = 0; i < 200; ++i)
                {
                    void* id = FakeId(0xFFF00000 + t * 1000 + i);
                    const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                    names.Register(id, name);
                    if (names.GetName(id) != name)
                        ++mismatches;
                    names.Unregister(id);
                }
            });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(0, mismatches.load());
}

TEST(ThreadNamesDeathTest, DuplicateAndMissingIdsHalt)
{
    EXPECT_EXIT(
        {
            Utils::ThreadNames::Instance().Register(FakeId(123), "a");
            Utils::ThreadNames::Instance().Register(FakeId(123), "b");
        },
        ::testing::ExitedWithCode(3), HasSubstr("Duplicate thread ID 123\n"));
    EXPECT_EXIT(Utils::ThreadNames::Instance().Unregister(FakeId(456)), ::testing::ExitedWithCode(3),
                HasSubstr("No thread ID 456\n"));
}

} // namespace
