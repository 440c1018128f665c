#include <new>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "ESS/Exception.h"
#include "ESS/Hooks.h"
#include "Platform/Thread.h"
#include "Utils/ExceptionInfo.h"
#include "Utils/ThreadNames.h"

namespace
{

const ESS::CppLocation c_loc("/build/tree/src/Utils/ThreadContext.cpp", "void Utils::ThreadContext::Run()",
                             42);

std::wstring W(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::string IdText()
{
    return Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID());
}

class ExceptionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The first use of the registry registers the calling (test) thread as "main".
        Utils::ThreadNames::InstancePtr();
    }
};

TEST(CppLocationTest, TextIsFileBelowSourceRootLineAndFunction)
{
    EXPECT_EQ("Utils/ThreadContext:42 in void Utils::ThreadContext::Run()", c_loc.ToString());
    EXPECT_EQ("Platform/WinImpl/PlatformExceptionInfo:7 in ",
              ESS::CppLocation("src/Platform/WinImpl/PlatformExceptionInfo.cpp", nullptr, 7).ToString());
    EXPECT_EQ("", ESS::CppLocation(nullptr, "f", 1).ToString());
    EXPECT_EQ("", ESS::CppLocation().ToString());
}

TEST(CppLocationTest, SourceFileTextCutsRootAndExtensionOnly)
{
    EXPECT_EQ("Utils/ThreadContext", ESS::SourceFileText("/x/src/Utils/ThreadContext.cpp"));
    EXPECT_EQ("Utils/Notification", ESS::SourceFileText("/x/src/Utils/Notification.h"));
    // A dot in a folder name is not an extension.
    EXPECT_EQ("a.b/File", ESS::SourceFileText("/x/src/a.b/File"));
    EXPECT_EQ("", ESS::SourceFileText(nullptr));
    // A site of this very test: below the project root, as there is no src/ in the path.
    EXPECT_EQ("tests/ESS/ExceptionTest", ESS::SourceFileText(ESS_LOCATION.file));
    EXPECT_NE(std::string::npos, ESS_LOCATION.ToString().find("tests/ESS/ExceptionTest:"));
}

TEST_F(ExceptionTest, FullTextOnRegisteredThread)
{
    try
    {
        ESS::ThrowException(c_loc, L"boom");
        FAIL() << "no throw";
    }
    catch (const ESS::Exception& e)
    {
        ASSERT_FALSE(e.StackTrace().empty());
        const std::wstring expected = L"Exception \n>>>\nboom\n<<<\nESS::Exception in thread main (" +
                                      W(IdText()) +
                                      L") @ Utils/ThreadContext:42 in void Utils::ThreadContext::Run()" +
                                      L"\n* Stack trace *\n" + W(e.StackTrace());
        EXPECT_EQ(expected, e.FormatText());
    }
}

TEST_F(ExceptionTest, EmptyMessageNullFileAndNoStack)
{
    ESS::Exception e(L"", ESS::CppLocation());
    EXPECT_EQ(L"Exception ESS::Exception in thread main (" + W(IdText()) + L")", e.FormatText());

    ESS::Assertion a(L"x == 1", ESS::CppLocation(nullptr, "f", 3));
    EXPECT_EQ(L"Exception \n>>>\nx == 1\n<<<\nESS::Assertion in thread main (" + W(IdText()) + L")",
              a.FormatText());
}

TEST_F(ExceptionTest, UnregisteredThreadShowsIdOnly)
{
    std::wstring text;
    std::string id;
    std::thread t(
        [&]
        {
            id = IdText();
            text = ESS::TutException(L"", ESS::CppLocation()).FormatText();
        });
    t.join();
    EXPECT_EQ(L"Exception ESS::TutException in thread " + W(id), text);
    EXPECT_EQ(std::string::npos, text.find(L"main"));
}

TEST_F(ExceptionTest, CurrentThreadText)
{
    EXPECT_EQ("main (" + IdText() + ")", ESS::CurrentThreadText());
}

TEST_F(ExceptionTest, WhatIsCachedUtf8AndRebuiltAfterCapture)
{
    ESS::Exception e(L"\u00DC \u0420", ESS::CppLocation());
    const char* first = e.what();
    EXPECT_EQ(first, e.what());
    const std::string text = first;
    EXPECT_NE(std::string::npos, text.find("\n>>>\n\xC3\x9C \xD0\xA0\n<<<\n"));
    EXPECT_EQ(std::string::npos, text.find("* Stack trace *"));

    e.CaptureStackTrace();
    ASSERT_FALSE(e.StackTrace().empty());
    const std::string afterCapture = e.what();
    EXPECT_NE(std::string::npos, afterCapture.find("\n* Stack trace *\n"));
    EXPECT_NE(text, afterCapture);
}

TEST_F(ExceptionTest, CopiesKeepEveryField)
{
    ESS::Exception e(L"msg", c_loc);
    e.CaptureStackTrace();
    const ESS::Exception copy(e);
    EXPECT_EQ(e.Message(), copy.Message());
    EXPECT_EQ(e.StackTrace(), copy.StackTrace());
    EXPECT_EQ(e.Location().line, copy.Location().line);
    EXPECT_EQ(e.FormatText(), copy.FormatText());
}

TEST_F(ExceptionTest, ThrowHelpersAndNoReturn)
{
    EXPECT_THROW(ESS::ThrowTutException(L"tut", ESS_LOCATION), ESS::TutException);
    EXPECT_EQ(L"No return!", ESS::NoReturnException(ESS_LOCATION).Message());
    // Like every exception of the system it is built from (message, location) and raised by the
    // throw macros; without a message of its own it still says "No return!".
    EXPECT_EQ(L"stop", ESS::NoReturnException(L"stop", ESS_LOCATION).Message());
    try
    {
        ESS_THROW(ESS::NoReturnException);
    }
    catch (const ESS::NoReturnException& e)
    {
        EXPECT_EQ(L"No return!", e.Message());
        EXPECT_NE(std::wstring::npos,
                  e.FormatText().find(L"\n>>>\nNo return!\n<<<\nESS::NoReturnException in thread "));
    }
    try
    {
        ESS_THROW_MSG(ESS::Exception, L"via macro");
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"via macro", e.Message());
        EXPECT_EQ("tests/ESS/ExceptionTest", ESS::SourceFileText(e.Location().file));
        EXPECT_FALSE(e.StackTrace().empty());
    }
}

// A hook sees the exception, with its stack, before the catch runs.
class RecordingHook : public ESS::ExceptionHook
{
public:
    void Hook(const ESS::BaseException* e) override
    {
        ++calls;
        message = e->Message();
        stackSeen = !e->StackTrace().empty();
        caughtYet = caught;
    }

    int calls = 0;
    std::wstring message;
    bool stackSeen = false;
    bool caughtYet = false;
    bool caught = false;
};

TEST_F(ExceptionTest, HookSeesExceptionBeforeCatch)
{
    RecordingHook hook;
    ESS::RegisterHook(&hook);
    try
    {
        ESS::ThrowException(ESS_LOCATION, L"seen");
    }
    catch (const ESS::Exception&)
    {
        hook.caught = true;
    }
    ESS::UnregisterHook(&hook);

    EXPECT_EQ(1, hook.calls);
    EXPECT_EQ(L"seen", hook.message);
    EXPECT_TRUE(hook.stackSeen);
    EXPECT_FALSE(hook.caughtYet);
    EXPECT_TRUE(hook.caught);
}

TEST(ExceptionInfoTest, TextParts)
{
    Utils::ExceptionInfo info;
    EXPECT_EQ(L"", Utils::ExceptionToText(info));

    info.context = L"ctx";
    EXPECT_EQ(L"ctx; ", Utils::ExceptionToText(info));

    info = Utils::ExceptionInfo();
    info.typeName = "ESS::Exception";
    EXPECT_EQ(L"Exception type 'ESS::Exception' info [no info]", Utils::ExceptionToText(info));

    info = Utils::ExceptionInfo();
    info.text = L"what";
    EXPECT_EQ(L"Exception type [no type information] info 'what'", Utils::ExceptionToText(info));

    info.context = L"ctx";
    info.typeName = "Ns::Holder<int, long>";
    info.stackTrace = "f1\n\xE9";
    EXPECT_EQ(L"ctx; Exception type 'Ns::Holder<int,long>' info 'what'\n * stack trace * \nf1\n\xFFE9",
              Utils::ExceptionToText(info));
}

TEST(ExceptionInfoTest, FromStandardAndProgramExceptions)
{
    const Utils::ExceptionInfo bad = Utils::MakeExceptionInfo(std::bad_alloc());
    EXPECT_EQ("std::bad_alloc", bad.typeName);
    EXPECT_EQ(L"std::bad_alloc", bad.text);
    EXPECT_TRUE(bad.context.empty());
    EXPECT_TRUE(bad.stackTrace.empty());

    const Utils::ExceptionInfo rt = Utils::MakeExceptionInfo(std::runtime_error("r\xC3\x9C"));
    EXPECT_EQ("std::runtime_error", rt.typeName);
    EXPECT_EQ(L"r\u00DC", rt.text);

    ESS::TutException e(L"m", c_loc);
    e.CaptureStackTrace();
    const std::exception& asStd = e;
    const Utils::ExceptionInfo prog = Utils::MakeExceptionInfo(asStd);
    EXPECT_EQ("ESS::TutException", prog.typeName);
    EXPECT_EQ(e.FormatText(), prog.text);
    EXPECT_NE(std::wstring::npos, prog.text.find(L"* Stack trace *"));
}

} // namespace
