#include <memory>
#include <thread>
#include <gtest/gtest.h>
#include "Utils/ThreadContextChecker.h"

using Utils::ThreadContextChecker;

TEST(ThreadContextCheckerTest, KnowsTheThreadThatMadeIt)
{
    ThreadContextChecker checker;
    EXPECT_FALSE(checker.IsEmpty());
    EXPECT_TRUE(checker.Current());
    EXPECT_EQ(Platform::Thread::GetCurrentThreadID(), checker.ThreadId());
    checker.Assert();

    bool currentElsewhere = true;
    std::thread other([&] { currentElsewhere = checker.Current(); });
    other.join();
    EXPECT_FALSE(currentElsewhere);
}

TEST(ThreadContextCheckerTest, MadeAndDestroyedOnAnotherThreadPasses)
{
    bool current = false;
    void* recorded = nullptr;
    std::thread other(
        [&]
        {
            ThreadContextChecker checker;
            current = checker.Current();
            recorded = checker.ThreadId();
        });
    other.join();
    EXPECT_TRUE(current);
    EXPECT_NE(Platform::Thread::GetCurrentThreadID(), recorded);
}

TEST(ThreadContextCheckerTest, EmptyCheckerPassesAnywhere)
{
    auto checker = std::make_unique<ThreadContextChecker>(ThreadContextChecker::EmptyTag());
    EXPECT_TRUE(checker->IsEmpty());
    std::thread other(
        [&]
        {
            checker->Assert();
            checker.reset(); // no check on destruction either
        });
    other.join();
    EXPECT_EQ(nullptr, checker);
}

TEST(ThreadContextCheckerDeathTest, WrongThreadHalts)
{
    EXPECT_DEATH(
        {
            ThreadContextChecker checker;
            std::thread other([&] { checker.Assert(); });
            other.join();
        },
        "Current\\(\\)");
    EXPECT_DEATH(
        {
            ThreadContextChecker* p = new ThreadContextChecker();
            std::thread other([p] { delete p; });
            other.join();
        },
        "Current\\(\\)");
    EXPECT_DEATH(
        {
            ThreadContextChecker checker{ThreadContextChecker::EmptyTag()};
            checker.Current();
        },
        "!m_empty");
}
