#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <boost/assert.hpp>
#include <boost/function.hpp>

#include "ESS/Assert.h"
#include "ESS/AssertElse.h"
#include "ESS/ChildProcessRun.h"
#include "ESS/Exception.h"
#include "ESS/HaltOnUnexpected.h"
#include "ESS/Hooks.h"
#include "Platform/Halt.h"
#include "Utils/ThreadNames.h"

namespace
{

using TestUtils::CountOccurrences;
using TestUtils::RunInChild;

// What a hook does when it is called.
enum class Action
{
    Nothing,
    Break,
    Rethrow,
    ThrowStd,
    ThrowInt,
    Assert,
};

class TestHook : public ESS::ExceptionHook
{
public:
    TestHook(std::vector<std::string>& log, std::string name, Action action = Action::Nothing)
        : m_log(log), m_name(std::move(name)), m_action(action)
    {
    }

    void Hook(const ESS::BaseException* e) override
    {
        m_log.push_back(m_name);
        lastType = typeid(*e).name();
        switch (m_action)
        {
        case Action::Nothing:
            break;
        case Action::Break:
            throw ESS::BreakHookChain();
        case Action::Rethrow:
            throw ESS::HookRethrow();
        case Action::ThrowStd:
            throw std::runtime_error("bad");
        case Action::ThrowInt:
            throw 5;
        case Action::Assert:
            ESS_ASSERT(m_name == "never");
            break;
        }
    }

    std::string lastType;

private:
    std::vector<std::string>& m_log;
    std::string m_name;
    Action m_action;
};

// Registers hooks for one test and takes them out again, whatever the test did.
class HookScope
{
public:
    ~HookScope()
    {
        for (auto* p : m_hooks)
            ESS::UnregisterHook(p);
    }
    void Add(ESS::ExceptionHook* p)
    {
        ESS::RegisterHook(p);
        m_hooks.push_back(p);
    }

private:
    std::vector<ESS::ExceptionHook*> m_hooks;
};

void ThrowSome()
{
    ESS::ThrowException(ESS_LOCATION, L"some");
}

TEST(HooksTest, NewestHookRunsFirst)
{
    std::vector<std::string> log;
    TestHook a(log, "A"), b(log, "B");
    {
        HookScope scope;
        scope.Add(&a);
        scope.Add(&b);
        EXPECT_THROW(ThrowSome(), ESS::Exception);
    }
    EXPECT_EQ((std::vector<std::string>{"B", "A"}), log);

    // Unregistered hooks are not called any more.
    log.clear();
    EXPECT_THROW(ThrowSome(), ESS::Exception);
    EXPECT_TRUE(log.empty());
}

TEST(HooksTest, BreakHookChainStopsTheWalk)
{
    std::vector<std::string> log;
    TestHook a(log, "A"), b(log, "B", Action::Break);
    HookScope scope;
    scope.Add(&a);
    scope.Add(&b);
    EXPECT_THROW(ThrowSome(), ESS::Exception);
    EXPECT_EQ((std::vector<std::string>{"B"}), log);
}

TEST(HooksTest, HookRethrowReplacesTheThrownException)
{
    std::vector<std::string> log;
    TestHook a(log, "A"), b(log, "B", Action::Rethrow);
    HookScope scope;
    scope.Add(&a);
    scope.Add(&b);
    EXPECT_THROW(ThrowSome(), ESS::HookRethrow);
    EXPECT_EQ((std::vector<std::string>{"B"}), log);

    // The assertion path is left the same way: no report, no halt.
    EXPECT_THROW(ESS::AssertionFailed(L"cond", ESS_LOCATION, true), ESS::HookRethrow);
    EXPECT_EQ(typeid(ESS::Assertion).name(), b.lastType);
}

TEST(HooksTest, UnregisteringDuringWalkSkipsTheRemovedHook)
{
    std::vector<std::string> log;
    TestHook a(log, "A");
    struct Remover : ESS::ExceptionHook
    {
        ESS::ExceptionHook* victim = nullptr;
        void Hook(const ESS::BaseException*) override
        {
            if (victim != nullptr)
                ESS::UnregisterHook(victim);
            victim = nullptr;
        }
    } remover;
    remover.victim = &a;
    ESS::RegisterHook(&a);
    ESS::RegisterHook(&remover);
    EXPECT_THROW(ThrowSome(), ESS::Exception);
    ESS::UnregisterHook(&remover);
    EXPECT_TRUE(log.empty());
}

TEST(HooksTest, ProcessHookWithoutHooksDoesNothing)
{
    ESS::Exception e(L"x", ESS_LOCATION);
    EXPECT_NO_THROW(ESS::ProcessHook(&e));
}

TEST(HooksDeathTest, RegistrationFaults)
{
    std::vector<std::string> log;
    TestHook a(log, "A");
    EXPECT_EXIT(ESS::UnregisterHook(&a), ::testing::ExitedWithCode(3), "\n>>>\npHooksList\n<<<\n");
    EXPECT_EXIT(
        {
            ESS::RegisterHook(&a);
            ESS::RegisterHook(&a);
        },
        ::testing::ExitedWithCode(3), "\n>>>\np == m_list.end\\(\\)\n<<<\n");
    EXPECT_EXIT(
        {
            TestHook b(log, "B");
            ESS::RegisterHook(&a);
            ESS::UnregisterHook(&b);
        },
        ::testing::ExitedWithCode(3), "\n>>>\np != m_list.end\\(\\)\n<<<\n");
    EXPECT_EXIT(ESS::RegisterHook(nullptr), ::testing::ExitedWithCode(3), "\n>>>\npHook\n<<<\n");
    EXPECT_EXIT(ESS::ProcessHook(nullptr), ::testing::ExitedWithCode(3), "\n>>>\npE\n<<<\n");
}

TEST(AssertDeathTest, FailedAssertionReportsAndHalts)
{
    Utils::ThreadNames::InstancePtr();
    const int x = 2;
    EXPECT_EXIT(ESS_ASSERT(x == 1), ::testing::ExitedWithCode(3),
                "\n\nAborted! [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\n"
                "Exception \n>>>\nx == 1\n<<<\nESS::Assertion in thread main \\([0-9]+\\) @ "
                "tests/ESS/AssertTest:[0-9]+ in [^\n]*TestBody\\(\\)\n\\* Stack trace \\*\n");
    EXPECT_EXIT(ESS_HALT("built " + std::to_string(x)), ::testing::ExitedWithCode(3),
                "\n>>>\nbuilt 2\n<<<\n");
    EXPECT_EXIT(ESS_UNIMPLEMENTED, ::testing::ExitedWithCode(3), "\n>>>\nUnimplemented!\n<<<\n");
}

TEST(AssertTest, PassingAssertionHasNoEffect)
{
    int evaluated = 0;
    ESS_ASSERT(++evaluated == 1);
    EXPECT_EQ(1, evaluated);
}

TEST(AssertTest, HooksSeeTheAssertionOnce)
{
    const auto r = RunInChild(
        []
        {
            static std::vector<std::string> log;
            static TestHook a(log, "A");
            ESS::RegisterHook(&a);
            static Utils::NotificationHandle h = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    fprintf(stdout, "kind=%d hooks=%zu brief=%ls type=%s\n", i.kind, log.size(),
                            i.brief.c_str(),
                            a.lastType == typeid(ESS::Assertion).name() ? "Assertion" : "other");
                    fflush(stdout);
                });
            ESS_ASSERT(1 + 1 == 3);
        });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ(
        "kind=0 hooks=1 brief=1 + 1 == 3 type=Assertion\nkind=1 hooks=1 brief=1 + 1 == 3 type=Assertion\n",
        r.out);
    EXPECT_EQ(1, CountOccurrences(r.err, "Aborted! "));
}

TEST(AssertTest, HookThrowingStdExceptionAborts)
{
    const auto r = RunInChild(
        []
        {
            static std::vector<std::string> log;
            static TestHook a(log, "A"), b(log, "B", Action::ThrowStd);
            ESS::RegisterHook(&a);
            ESS::RegisterHook(&b);
            ThrowSome();
        });
    EXPECT_EQ(3, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("\n>>>\nException in exception hook, aborted\nbad\n<<<\n"))
        << r.err;
    EXPECT_EQ(1, CountOccurrences(r.err, "Aborted! "));
}

TEST(AssertTest, HookThrowingNonStdAborts)
{
    const auto r = RunInChild(
        []
        {
            static std::vector<std::string> log;
            static TestHook a(log, "A", Action::ThrowInt);
            ESS::RegisterHook(&a);
            ThrowSome();
        });
    EXPECT_EQ(3, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("\n>>>\nException in exception hook, aborted\n<<<\n")) << r.err;
}

// A hook that fails on every call, or asserts, ends in one report instead of endless re-entry.
TEST(AssertTest, FailingHookIsNotReenteredWithoutBound)
{
    for (Action action : {Action::ThrowStd, Action::Assert})
    {
        const auto r = RunInChild(
            [action]
            {
                static std::vector<std::string> log;
                static TestHook a(log, "A", action);
                ESS::RegisterHook(&a);
                static Utils::NotificationHandle h = Platform::AddExitObserver(
                    [](const Platform::ExitInformation& i)
                    {
                        fprintf(stdout, "kind=%d hooks=%zu\n", i.kind, log.size());
                        fflush(stdout);
                    });
                ESS_ASSERT(false);
            },
            20000);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(3, r.exitCode) << r.err;
        EXPECT_EQ("kind=0 hooks=1\nkind=1 hooks=1\n", r.out);
        EXPECT_EQ(1, CountOccurrences(r.err, "Aborted! "));
        EXPECT_EQ(0, CountOccurrences(r.err, "Recursive exit!"));
    }
}

TEST(AssertTest, HaltOnUnexpectedText)
{
    Utils::ExceptionInfo info;
    info.typeName = "std::runtime_error";
    info.text = L"oops";
    const auto withLocation = RunInChild([info] { ESS::HaltOnUnexpected(info, L"Platform::Thread"); });
    EXPECT_EQ(3, withLocation.exitCode);
    EXPECT_NE(std::string::npos,
              withLocation.err.find("\n>>>\nHalt on unexpected exception at location Platform::Thread\n"
                                    "Exception type 'std::runtime_error' info 'oops'\n\n<<<\n"))
        << withLocation.err;

    const auto noLocation = RunInChild([info] { ESS::HaltOnUnexpected(info, L""); });
    EXPECT_NE(std::string::npos,
              noLocation.err.find("\n>>>\nHalt on unexpected exception\nException type 'std::runtime_error'"))
        << noLocation.err;
    EXPECT_EQ(std::string::npos, noLocation.err.find(" at location "));
}

TEST(AssertTest, AssertElseTexts)
{
    const ESS::CppLocation loc("/r/src/Platform/WinImpl/PlatformProcExec.cpp", "ProcExec::ProcExec()", 50);
    const auto emptyInfo = RunInChild(
        [loc]
        {
            ESS::AssertElse::DoProcess("pi.hProcess != INVALID_HANDLE_VALUE", loc,
                                       &ESS::AssertElse::detail::NoInformation);
        });
    EXPECT_EQ(3, emptyInfo.exitCode);
    EXPECT_NE(std::string::npos,
              emptyInfo.err.find("\n>>>\nAssertion 'pi.hProcess != INVALID_HANDLE_VALUE' failed at "
                                 "'Platform/WinImpl/PlatformProcExec:50 in ProcExec::ProcExec()'; "
                                 "info ''\n<<<\n"))
        << emptyInfo.err;
    // The report's own location is the processing function, not the checking site.
    EXPECT_NE(std::string::npos, emptyInfo.err.find(" @ ESS/AssertElse:"));

    const auto withInfo =
        RunInChild([loc] { ESS::AssertElse::DoProcess("c", loc, [] { return std::wstring(L"more"); }); });
    EXPECT_NE(std::string::npos, withInfo.err.find("'; info 'more'\n<<<\n")) << withInfo.err;

    const auto throwingInfo = RunInChild(
        [loc] {
            ESS::AssertElse::DoProcess("c", loc,
                                       []() -> std::wstring { throw std::runtime_error("info failed"); });
        });
    EXPECT_EQ(3, throwingInfo.exitCode);
    EXPECT_NE(std::string::npos, throwingInfo.err.find("Halt on unexpected exception\nException type "
                                                       "'std::runtime_error' info 'info failed'"))
        << throwingInfo.err;

    const auto macro = RunInChild(
        []
        {
            const int handle = -1;
            ESS_ASSERT_ELSE(handle != -1);
        });
    EXPECT_NE(std::string::npos, macro.err.find("Assertion 'handle != -1' failed at 'tests/ESS/AssertTest:"));
}

TEST(AssertTest, EmptyBoostFunctionHalts)
{
    const auto r = RunInChild(
        []
        {
            boost::function<void()> empty;
            empty();
            fprintf(stdout, "survived\n");
        });
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("\n>>>\nboost::bad_function_call\n<<<\n")) << r.err;

    const auto assertElse =
        RunInChild([] { ESS::AssertElse::DoProcess("c", ESS_LOCATION, boost::function<std::wstring()>()); });
    EXPECT_NE(std::string::npos, assertElse.err.find("\n>>>\nboost::bad_function_call\n<<<\n"))
        << assertElse.err;
}

TEST(AssertTest, BoostAssertTakesTheAssertionPath)
{
    const auto r = RunInChild(
        []
        {
            const int v = 0;
            BOOST_ASSERT(v == 7);
            BOOST_ASSERT_MSG(v == 8, "with message");
        });
    EXPECT_EQ(3, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("\n>>>\nv == 7\n<<<\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("tests/ESS/AssertTest:"));
}

TEST(AssertTest, BoostAssertWithMessageTakesTheAssertionPath)
{
    const auto r = RunInChild(
        []
        {
            const int v = 0;
            BOOST_ASSERT_MSG(v == 8, "with message");
            fprintf(stdout, "went on\n");
        });
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("\n>>>\nv == 8\nwith message\n<<<\n")) << r.err;
}

// With the termination replaced, the assertion path returns true after the report.
TEST(AssertTest, AssertionFailedReturnsWhenTheProcessCannotEnd)
{
    const auto r = RunInChild(
        []
        {
            Platform::SetTerminateSelfHandler([] {});
            const bool res = ESS::AssertionFailed(L"cannot end", ESS_LOCATION, true);
            fprintf(stdout, "returned=%d\n", res ? 1 : 0);
            fflush(stdout);
            // The fatal sites still never go on.
            ESS_ASSERT(false);
            fprintf(stdout, "went on\n");
        });
    EXPECT_EQ("returned=1\n", r.out);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ(2, CountOccurrences(r.err, "Aborted! "));
}

} // namespace
