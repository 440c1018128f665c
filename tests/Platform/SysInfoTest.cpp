#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <pty.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include "ESS/Exception.h"
#include "Platform/SysInfo.h"
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace SysInfoTestProbe
{
template <class T>
struct Inner
{
};
} // namespace SysInfoTestProbe

namespace
{

namespace
{
struct Hidden
{
};
} // namespace

TEST(TypeNameTest, PrettyNamesFromTypeInformation)
{
    EXPECT_EQ("std::vector<int,std::allocator<int>>",
              Platform::PrettyTypeName(typeid(std::vector<int>).name()));
    EXPECT_EQ("std::string", Platform::PrettyTypeName(typeid(std::string).name()));
    EXPECT_EQ("std::wstring", Platform::PrettyTypeName(typeid(std::wstring).name()));
    EXPECT_EQ("SysInfoTestProbe::Inner<unsignedint>",
              Platform::PrettyTypeName(typeid(SysInfoTestProbe::Inner<unsigned int>).name()));

    const std::string hidden = Platform::PrettyTypeName(typeid(Hidden).name());
    EXPECT_EQ(std::string::npos, hidden.find(' ')) << hidden;
    EXPECT_NE(std::string::npos, hidden.find("Hidden")) << hidden;
}

TEST(TypeNameTest, PrettyNamesFromDemangledText)
{
    EXPECT_EQ("std::string", Platform::PrettyTypeName(Platform::RawTypeName(typeid(std::string)).c_str()));
    EXPECT_EQ("std::wstring", Platform::PrettyTypeName(Platform::RawTypeName(typeid(std::wstring)).c_str()));
    EXPECT_EQ("ESS::Exception",
              Platform::PrettyTypeName(Platform::RawTypeName(typeid(ESS::Exception)).c_str()));
    // The keyword rule and the pointer suffix of the other platform's spelling.
    EXPECT_EQ("std::vector<int,std::allocator<int>>",
              Platform::PrettyTypeName("class std::vector<int,class std::allocator<int> >"));
    EXPECT_EQ("Foo*", Platform::PrettyTypeName("struct Foo * __ptr64"));
    EXPECT_EQ("Color", Platform::PrettyTypeName("enum Color"));
    // Only whole words: "classic" is a name, not a keyword.
    EXPECT_EQ("classic::X", Platform::PrettyTypeName("classic::X"));
    EXPECT_EQ("", Platform::PrettyTypeName(nullptr));
}

TEST(SysInfoTest, TrReplacesTheNumber)
{
    EXPECT_EQ(L"a 3 b 3", Platform::Tr("a %n b %Ln", 3));
    EXPECT_EQ(L"a %n b %Ln", Platform::Tr("a %n b %Ln", -1));
    EXPECT_EQ(L"x -7", Platform::Tr("x %n", -7));
    EXPECT_EQ(L"\u043f\u0440\u0438 5", Platform::Tr("\xd0\xbf\xd1\x80\xd0\xb8 %n", 5));
}

TEST(SysInfoTest, ThrowLastError)
{
    for (const std::wstring& ctx : {std::wstring(), std::wstring(L"ctx")})
    {
        try
        {
            errno = ENOENT;
            Win32::ThrowLastError(ctx);
        }
        catch (const ESS::Exception& e)
        {
            EXPECT_EQ(ctx.empty() ? L"Win LastError: No such file or directory"
                                  : L"Win LastError for 'ctx': No such file or directory",
                      e.Message());
        }
    }
    errno = EACCES;
    EXPECT_EQ(L"Permission denied", Platform::LastErrorText());
    errno = 0;
    EXPECT_EQ(L"", Platform::LastErrorText());
}

TEST(SysInfoTest, OsVersionOfLinux)
{
    const Platform::OsVersionReader v = Platform::GetOsVersion();
    EXPECT_FALSE(Platform::IsWindows());
    EXPECT_EQ(1u, v.OsKind());
    EXPECT_TRUE(v.Is64Bit());
    EXPECT_EQ(0u, v.PlatformId());
    EXPECT_EQ(L"Lnx-64", v.ShortName());

    const std::wstring suffix = L" (64 bits)";
    ASSERT_GT(v.Name().size(), suffix.size());
    EXPECT_EQ(suffix, v.Name().substr(v.Name().size() - suffix.size()));

    struct utsname u;
    ASSERT_EQ(0, uname(&u));
    unsigned major = 0;
    unsigned minor = 0;
    ASSERT_EQ(2, std::sscanf(u.release, "%u.%u", &major, &minor));
    EXPECT_EQ(major, v.Major());
    EXPECT_EQ(minor, v.Minor());
    EXPECT_EQ(Utils::LocaleStringToUnicode(u.version), v.UpdateRevision());
    EXPECT_EQ(Platform::GetProcessorArchitecture(), v.ProcessorArchitecture());
}

TEST(SysInfoTest, OsVersionParts)
{
    uint32_t a = 9, b = 9, c = 9;
    Platform::detail::ParseKernelRelease("6.1.0-18-amd64", a, b, c);
    EXPECT_EQ(6u, a);
    EXPECT_EQ(1u, b);
    EXPECT_EQ(0u, c);
    Platform::detail::ParseKernelRelease("5.15.146+rt", a, b, c);
    EXPECT_EQ(5u, a);
    EXPECT_EQ(15u, b);
    EXPECT_EQ(146u, c);
    Platform::detail::ParseKernelRelease("6.18-rc1", a, b, c);
    EXPECT_EQ(6u, a);
    EXPECT_EQ(18u, b);
    EXPECT_EQ(0u, c);
    Platform::detail::ParseKernelRelease("", a, b, c);
    EXPECT_EQ(0u, a + b + c);

    const std::string osRelease =
        "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "VERSION_ID='12'\nID=debian\n";
    EXPECT_EQ("Debian GNU/Linux 12 (bookworm)", Platform::detail::OsReleaseValue(osRelease, "PRETTY_NAME"));
    EXPECT_EQ("12", Platform::detail::OsReleaseValue(osRelease, "VERSION_ID"));
    EXPECT_EQ("debian", Platform::detail::OsReleaseValue(osRelease, "ID"));
    EXPECT_EQ("", Platform::detail::OsReleaseValue(osRelease, "VERSION"));

    EXPECT_EQ(L"W10-64", Platform::detail::ShortNameWithBitness(L"W10"));
    EXPECT_EQ(L"Lnx-64", Platform::detail::ShortNameWithBitness(L"Lnx"));
    EXPECT_EQ(L"S8R264", Platform::detail::ShortNameWithBitness(L"S8R2"));
}

TEST(SysInfoTest, ArchitectureMapping)
{
    using Platform::detail::ArchitectureCode;
    EXPECT_EQ(1u, ArchitectureCode("AMD64"));
    EXPECT_EQ(1u, ArchitectureCode("x86_64"));
    EXPECT_EQ(0u, ArchitectureCode("IA64"));
    EXPECT_EQ(2u, ArchitectureCode("arm"));
    EXPECT_EQ(2u, ArchitectureCode("armv7l"));
    EXPECT_EQ(3u, ArchitectureCode("ARM64"));
    EXPECT_EQ(3u, ArchitectureCode("aarch64"));
    EXPECT_EQ(4u, ArchitectureCode("x64"));
    EXPECT_EQ(5u, ArchitectureCode("x86"));
    EXPECT_EQ(5u, ArchitectureCode("i686"));
    EXPECT_EQ(0u, ArchitectureCode(""));
    EXPECT_EQ(0u, ArchitectureCode("amd6"));
}

TEST(SysInfoTest, NamesAndPaths)
{
    char link[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", link, sizeof(link) - 1), 0);
    EXPECT_EQ(Utils::LocaleStringToUnicode(link), Platform::GetExePath());

    std::ifstream cmd("/proc/self/cmdline", std::ios::binary);
    std::string first;
    std::getline(cmd, first, '\0');
    EXPECT_EQ(Utils::LocaleStringToUnicode(first), Platform::GetCommandLineProgram());

    char host[256] = {};
    ASSERT_EQ(0, gethostname(host, sizeof(host) - 1));
    EXPECT_EQ(Utils::LocaleStringToUnicode(host), Platform::GetComputerName());

    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(nullptr, pw);
    EXPECT_EQ(Utils::LocaleStringToUnicode(pw->pw_name), Platform::GetUserName(false));
    EXPECT_EQ(Platform::GetUserName(false), Platform::GetUserName(true));

    EXPECT_EQ(qint64(getpid()), Platform::CurrentProcessId());
}

TEST(SysInfoTest, TickCountIsMonotonicMilliseconds)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint32_t expected = uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
    const uint32_t tick = Platform::GetTickCount();
    // Unsigned difference: right also across a wrap of the 32-bit count.
    EXPECT_LT(uint32_t(tick - expected), 1000u);
}

TEST(SysInfoDeathTest, ReadKeyNoWait)
{
    // Not a terminal: nothing to read, at once.
    EXPECT_EXIT(
        {
            const int fd = open("/dev/null", O_RDONLY);
            dup2(fd, 0);
            std::exit(Platform::ReadKeyNoWait() == -1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");

    // A terminal with a key waiting gives the key, then -1, and leaves the terminal as it was.
    EXPECT_EXIT(
        {
            int master = -1;
            int slave = -1;
            if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            {
                std::exit(10);
            }
            dup2(slave, 0);
            struct termios before;
            tcgetattr(0, &before);
            if (Platform::ReadKeyNoWait() != -1)
            {
                std::exit(11);
            }
            if (write(master, "k", 1) != 1)
            {
                std::exit(12);
            }
            int key = -1;
            for (int i = 0; i < 500 && key == -1; ++i)
            {
                key = Platform::ReadKeyNoWait();
                if (key == -1)
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            struct termios after;
            tcgetattr(0, &after);
            if (after.c_lflag != before.c_lflag)
            {
                std::exit(13);
            }
            std::exit(key == 'k' && Platform::ReadKeyNoWait() == -1 ? 0 : 14);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SysInfoDeathTest, MessageBoxWritesToStandardError)
{
    EXPECT_EXIT(std::exit(Platform::ShowErrorMessageBox("Something failed", "Caption") == 1 ? 0 : 1),
                ::testing::ExitedWithCode(0), "Caption: Something failed\n");
}

TEST(SysInfoDeathTest, ShowConsoleLeavesAnExistingTerminalAlone)
{
    // Standard input is a terminal: the process has a console, so the streams stay as they are.
    EXPECT_EXIT(
        {
            int master = -1;
            int slave = -1;
            if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            {
                std::exit(10);
            }
            dup2(slave, 0);
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, 1);
            struct stat before;
            fstat(1, &before);
            Platform::ShowConsole();
            Platform::ShowConsole();
            struct stat after;
            fstat(1, &after);
            std::exit(before.st_rdev == after.st_rdev && before.st_ino == after.st_ino ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// In a process without any terminal, ShowConsole takes over the terminal of its parent.
int AttachToParentTerminal()
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
    {
        return 10;
    }
    for (int fd = 0; fd <= 2; ++fd)
    {
        dup2(slave, fd);
    }
    const pid_t child = fork();
    if (child == 0)
    {
        setsid(); // no controlling terminal
        const int devNull = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd)
        {
            dup2(devNull, fd);
        }
        Platform::ShowConsole();
        if (!isatty(1) || !isatty(2))
        {
            _exit(1);
        }
        Platform::ShowConsole(); // the second call does nothing
        std::printf("attached\n");
        std::fflush(stdout);
        _exit(0);
    }

    std::string seen;
    for (int i = 0; i < 1000 && seen.find("attached") == std::string::npos; ++i)
    {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 10) == 1)
        {
            char buf[256];
            const ssize_t n = read(master, buf, sizeof(buf));
            if (n > 0)
            {
                seen.append(buf, size_t(n));
            }
        }
    }
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) != child; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (seen.find("attached") == std::string::npos)
    {
        return 11;
    }
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 12;
}

TEST(SysInfoDeathTest, ShowConsoleAttachesToTheParentsTerminal)
{
    EXPECT_EXIT(std::exit(AttachToParentTerminal()), ::testing::ExitedWithCode(0), "");
}

class ShellOpenTest : public ::testing::Test
{
protected:
    ShellOpenTest()
    {
        char tmpl[] = "/tmp/yr_shellopen_XXXXXX";
        m_dir = mkdtemp(tmpl);
    }
    ~ShellOpenTest() override { boost::filesystem::remove_all(m_dir); }

    std::string m_dir;
};

TEST_F(ShellOpenTest, MissingFileFails)
{
    std::wstring err;
    EXPECT_FALSE(Platform::ShellOpen(Utils::LocaleStringToUnicode(m_dir + "/none.txt"), L"", &err));
    EXPECT_EQ(L"ShellExecuteExW completed with error: No such file or directory", err);
    EXPECT_FALSE(Platform::ShellOpen(Utils::LocaleStringToUnicode(m_dir + "/none.txt"), L"", nullptr));
}

TEST_F(ShellOpenTest, ExecutableRunsInItsFolderWithItsParameters)
{
    const std::string script = m_dir + "/run.sh";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\nfor a; do printf '%s|' \"$a\"; done > out.tmp\nmv out.tmp done.txt\n";
    }
    chmod(script.c_str(), 0755);

    std::wstring err;
    ASSERT_TRUE(Platform::ShellOpen(Utils::LocaleStringToUnicode(script), L"a \"b c\"", &err)) << err.c_str();

    const std::string done = m_dir + "/done.txt";
    std::string text;
    for (int i = 0; i < 1000 && text.empty(); ++i)
    {
        std::ifstream in(done);
        std::getline(in, text);
        if (text.empty())
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ("a|b c|", text);
}

} // namespace
