#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <boost/filesystem.hpp>
#include "Platform/DebugOutput.h"
#include "VdiCommon/AppPath.h"

using namespace VdiCommon::AppPath;

namespace
{

std::string RealPath(const std::string& p)
{
    char* r = ::realpath(p.c_str(), nullptr);
    std::string s = r ? r : "";
    std::free(r);
    return s;
}

TEST(AppPathTest, TheModuleIsTheFileThatHoldsThisCode)
{
    // Linked into the test program, the module is the program's real file.
    const std::string expected = RealPath("/proc/self/exe");
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(ModulePathFound());
    EXPECT_EQ(expected, GetModulePath());
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), GetModuleLongPath(GetCurDllModule()));

    char** argv = GetModuleArgv();
    ASSERT_NE(nullptr, argv);
    EXPECT_EQ(expected, argv[0]);
    EXPECT_EQ(nullptr, argv[1]);
    EXPECT_EQ(argv, GetModuleArgv()); // computed once
}

TEST(AppPathTest, BothWaysFindTheSameModule)
{
    const ModuleHandle modern = GetCurDllModuleModern();
    ASSERT_NE(nullptr, modern);
    EXPECT_EQ(modern, GetCurDllModuleLegacy());
    EXPECT_EQ(modern, GetCurDllModule());
}

TEST(AppPathTest, OtherObjectsAreFoundByAnAddressOfTheirs)
{
    // A function of the C library lives in the C library's object, not in ours.
    Dl_info info;
    ASSERT_NE(0, ::dladdr(reinterpret_cast<void*>(&::strtol), &info));
    const ModuleHandle libc = details::FindModuleByAddress(reinterpret_cast<void*>(&::strtol));
    EXPECT_EQ(info.dli_fbase, libc);
    EXPECT_NE(GetCurDllModule(), libc);
    EXPECT_EQ(RealPath(info.dli_fname), details::ModuleRealPath(libc));
}

TEST(AppPathTest, UnknownModulesHaveNoPath)
{
    EXPECT_TRUE(GetModuleLongPath(nullptr).empty());
    static const int c_notAModule = 0;
    EXPECT_TRUE(GetModuleLongPath(&c_notAModule).empty());
    EXPECT_EQ(nullptr, details::FindModuleByAddress(reinterpret_cast<const void*>(uintptr_t(16))));
}

TEST(AppPathTest, ErrorReportGoesToTheDebuggerInItsFixedForm)
{
    std::string captured;
    const Platform::DebugOutputSink previous =
        Platform::SetDebugOutputSink([&captured](const std::string& text) { captured += text; });
    errno = ENOENT;
    ReportWinError(L"GetCurDllModuleModern", L"dladdr failed");
    Platform::SetDebugOutputSink(previous);
    EXPECT_EQ(
        "YrSharedUtils GetCurDllModuleModern: , err dladdr failed, LastError code: 2, msg: No such file or "
        "directory\n",
        captured);

    LastErrorInfo none;
    EXPECT_EQ("YrSharedUtils L: , err T, LastError code: 0, msg: \n",
              details::FormatWinError(L"L", L"T", none));
}

} // namespace
