#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <QStandardPaths>
#include <fmt/format.h>
#include <fmt/xchar.h>
#include "ESS/Exception.h"
#include "Platform/SecurityToken.h"
#include "Utils/DebugLog.h"

namespace
{

TEST(SecurityTokenTest, SpecialSidNeedsTheExactText)
{
    EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::LocalSystem), Win32::SpecialSidFromSidText(L"S-1-5-18"));
    EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::LocalSystem), Win32::SpecialSidFromSidText(L"S-1-22-1-0"));
    EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::None), Win32::SpecialSidFromSidText(L"S-1-5-18x"));
    EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::None), Win32::SpecialSidFromSidText(L"S-1-22-1-00"));
    EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::None), Win32::SpecialSidFromSidText(L""));
    EXPECT_EQ("LocalSystem", Win32::SpecialSid(Win32::SpecialSid::LocalSystem).ToString());
}

TEST(SecurityTokenTest, SystemDirectoryComparesWholeComponents)
{
    EXPECT_TRUE(Win32::IsUnderWindowsDirectory(L"/usr"));
    EXPECT_TRUE(Win32::IsUnderWindowsDirectory(L"/usr/"));
    EXPECT_TRUE(Win32::IsUnderWindowsDirectory(L"/usr/share/x"));
    EXPECT_FALSE(Win32::IsUnderWindowsDirectory(L"/usrlocal/x"));
    EXPECT_FALSE(Win32::IsUnderWindowsDirectory(L"/home/u/.local/share"));
    EXPECT_FALSE(Win32::IsUnderWindowsDirectory(L"/USR/share"));
    EXPECT_FALSE(Win32::IsUnderWindowsDirectory(L""));
}

TEST(SecurityTokenTest, UserOfThisProcess)
{
    const Win32::ProcessToken token(0, 11);
    const Win32::TokenUserInfo info = token.GetUserInfo();
    const uid_t uid = geteuid();
    EXPECT_EQ(L"S-1-22-1-" + std::to_wstring(uid), info.sid);
    EXPECT_EQ(fmt::format(L"0-{:x}", uint32_t(getsid(0))), info.authenticationId);
    if (uid == 0)
    {
        EXPECT_EQ(L"root", info.account);
        EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::LocalSystem), info.kind);
        EXPECT_TRUE(Win32::IsSystemContext(L"/home/x"));
        EXPECT_EQ(QStandardPaths::writableLocation(QStandardPaths::TempLocation).toStdWString(),
                  Platform::GetDataRootPath());
    }
    else
    {
        EXPECT_EQ(Win32::SpecialSid(Win32::SpecialSid::None), info.kind);
    }
}

TEST(SecurityTokenTest, TokenOfAnotherProcess)
{
    const Win32::ProcessToken token(getppid(), 11);
    const Win32::TokenUserInfo info = token.GetUserInfo();
    EXPECT_EQ(0u, info.sid.find(L"S-1-22-1-"));
    EXPECT_FALSE(info.account.empty());
}

TEST(SecurityTokenTest, Failures)
{
    try
    {
        const Win32::ProcessToken token(999999999, 11);
        FAIL() << "opened";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"Win LastError for 'OpenProcessToken': No such file or directory", e.Message());
    }

    const Win32::ProcessToken token(0, 11);
    try
    {
        token.GetInformation(99);
        FAIL() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"Win LastError for 'Can't get size for GetTokenInformation()': Invalid argument",
                  e.Message());
    }

    Win32::TOKEN_USER unknown{987654321u};
    try
    {
        Win32::ProcessToken::GetAccountName(unknown);
        FAIL() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(0u, e.Message().find(L"Win LastError for 'LookupAccountSid() is failed': "));
    }
}

TEST(SecurityTokenDeathTest, UnprivilegedUserGetsTheGenericDataFolder)
{
    if (geteuid() != 0)
    {
        GTEST_SKIP() << "needs root to change the user";
    }
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0)
            {
                std::exit(10);
            }
            const Win32::ProcessToken token(0, 11);
            const Win32::TokenUserInfo info = token.GetUserInfo();
            if (info.kind != Win32::SpecialSid(Win32::SpecialSid::None) || info.sid != L"S-1-22-1-65534")
            {
                std::exit(11);
            }
            const std::wstring generic =
                QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdWString();
            std::exit(Platform::GetDataRootPath() == generic ? 0 : 12);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SecurityTokenDeathTest, FailedCloseIsLoggedOnceAndNothingThrown)
{
    EXPECT_EXIT(
        {
            Utils::DebugLogFile::SetRedirect([](const std::wstring& t)
                                             { std::fprintf(stderr, "LOG<%ls>\n", t.c_str()); });
            const int fd = open("/dev/null", O_RDONLY);
            close(fd);
            Win32::CloseHandleLogged(fd, L"ProcessToken");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^LOG<CloseHandle\\(\\) in 'ProcessToken' failed for h [0-9]+: Bad file descriptor>\n$");
}

} // namespace
