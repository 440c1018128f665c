#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include "Platform/ProcExec.h"
#include "Platform/ProcSnapshot.h"
#include "Platform/Thread.h"
#include "Utils/ThreadNames.h"

namespace
{

typedef std::vector<std::wstring> Args;

// The child is /bin/sh; its script writes every argument it got as "[arg]" into the file $0.
const wchar_t* const c_dumpArgs = L"for a; do printf '[%s]' \"$a\"; done > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"";

class ProcExecTest : public ::testing::Test
{
protected:
    ProcExecTest()
    {
        char tmpl[] = "/tmp/yr_procexec_XXXXXX";
        m_dir = mkdtemp(tmpl);
    }
    ~ProcExecTest() override { boost::filesystem::remove_all(m_dir); }

    std::wstring OutFile() const { return boost::filesystem::path(m_dir + "/out.txt").wstring(); }

    std::string ReadOut() const
    {
        std::ifstream in(m_dir + "/out.txt", std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Runs sh with the script and the arguments and waits (bounded) for its end.
    std::string RunSh(const std::wstring& script, const Args& args,
                      QProcessEnvironment env = QProcessEnvironment())
    {
        Args all = {L"-c", script, OutFile()};
        all.insert(all.end(), args.begin(), args.end());
        const Platform::StartProcessResult r = Platform::StartProcess(L"/bin/sh", all, env);
        EXPECT_EQ(L"", r.error);
        if (!r.process)
        {
            return "<not started>";
        }
        EXPECT_NE(0u, r.processId);
        EXPECT_TRUE(r.process->Wait(20000));
        return ReadOut();
    }

    std::string m_dir;
};

// Whether the pid is still a child of ours that nobody has reaped.
bool IsUnreapedChild(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Waits (bounded) until the child has ended and is a zombie.
bool WaitForZombie(pid_t pid)
{
    for (int i = 0; i < 2000; ++i)
    {
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(ProcExecCommandLineTest, QuotingOfTheText)
{
    using Platform::MakeCommandLine;
    EXPECT_EQ(L"\"/opt/argdump\" \"x\" \"y z\"", MakeCommandLine(L"/opt/argdump", {L"x", L"y z"}));
    EXPECT_EQ(L"\"/a\" \"q\"", MakeCommandLine(L"/a", {L"\"q\""}));
    EXPECT_EQ(L"\"/a\" \"\"", MakeCommandLine(L"/a", {L"   "}));
    EXPECT_EQ(L"\"/a\" \"a\"", MakeCommandLine(L"/a", {L"a  \t"}));
    EXPECT_EQ(L"\"/a\" \"  a\"", MakeCommandLine(L"/a", {L"  a"}));
    EXPECT_EQ(L"\"/a\" \"\"\"", MakeCommandLine(L"/a", {L"\""}));
    EXPECT_EQ(L"\"/a\" ", MakeCommandLine(L"/a", {}));
    EXPECT_EQ(L"\"/my app\" ", MakeCommandLine(L"/my app", {}));
    EXPECT_EQ(L"\"/already\" ", MakeCommandLine(L"\"/already\"", {}));
}

TEST(ProcExecCommandLineTest, WhatTheChildGetsPerItem)
{
    using Win32::ProcAppArgs;
    EXPECT_EQ(L"q", ProcAppArgs::ChildItem(L"\"q\""));
    EXPECT_EQ(L"", ProcAppArgs::ChildItem(L"   "));
    EXPECT_EQ(L"", ProcAppArgs::ChildItem(L"\"\""));
    EXPECT_EQ(L"a", ProcAppArgs::ChildItem(L"a  "));
    EXPECT_EQ(L"\"", ProcAppArgs::ChildItem(L"\""));
    EXPECT_EQ(L"a\" \"b", ProcAppArgs::ChildItem(L"a\" \"b"));
    EXPECT_EQ(L"x\\", ProcAppArgs::ChildItem(L"x\\"));
}

TEST_F(ProcExecTest, EveryArgumentReachesTheChildExactly)
{
    EXPECT_EQ("[x][y z]", RunSh(c_dumpArgs, {L"x", L"y z"}));
}

TEST_F(ProcExecTest, QuotesBlanksAndBackslashesSurvive)
{
    // Items that a joined, unescaped command line would split or merge.
    EXPECT_EQ(
        "[q][][a][\"][a\" \"b][x\\][  lead][$HOME][*]",
        RunSh(c_dumpArgs, {L"\"q\"", L"   ", L"a  ", L"\"", L"a\" \"b", L"x\\", L"  lead", L"$HOME", L"*"}));
}

TEST_F(ProcExecTest, NonAsciiArgument)
{
    EXPECT_EQ("[\xd0\xb0\xd0\xb1][\xe2\x82\xac]", RunSh(c_dumpArgs, {L"\u0430\u0431", L"\u20ac"}));
}

TEST_F(ProcExecTest, EnvironmentInheritedOrGiven)
{
    const std::wstring script = L"printf '%s|%s' \"$YR_PROC_TEST\" \"${YR_PROC_OTHER-unset}\" > \"$0\"";
    setenv("YR_PROC_TEST", "inherited", 1);
    setenv("YR_PROC_OTHER", "other", 1);
    const std::string inherited = RunSh(script, {});

    // A given environment replaces this process's one.
    QProcessEnvironment env;
    env.insert("YR_PROC_TEST", "given");
    const std::string given = RunSh(script, {}, env);
    unsetenv("YR_PROC_TEST");
    unsetenv("YR_PROC_OTHER");

    EXPECT_EQ("inherited|other", inherited);
    EXPECT_EQ("given|unset", given);
}

TEST_F(ProcExecTest, OnlyStandardDescriptorsAreInherited)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds)); // without close-on-exec
    ASSERT_EQ(100, dup2(fds[0], 100));
    const std::string res =
        RunSh(L"if [ -e /proc/$$/fd/100 ]; then echo open; else echo closed; fi > \"$0\"; "
              L"[ -e /proc/$$/fd/1 ] && echo std >> \"$0\"",
              {});
    close(100);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ("closed\nstd\n", res);
}

TEST_F(ProcExecTest, WorkingDirectoryIsInherited)
{
    char cwd[4096] = {};
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    EXPECT_EQ(std::string(cwd) + "\n", RunSh(L"pwd -P > \"$0\"", {}));
}

TEST(ProcExecFailureTest, MissingProgramIsReportedNotThrown)
{
    const Platform::StartProcessResult r = Platform::StartProcess(L"/no/such/program", {L"x"});
    EXPECT_EQ(L"No such file or directory", r.error);
    EXPECT_FALSE(r.process);
    EXPECT_EQ(0u, r.processId);

    char tmpl[] = "/tmp/yr_noexec_XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    const Platform::StartProcessResult r2 =
        Platform::StartProcess(boost::filesystem::path(tmpl).wstring(), {});
    unlink(tmpl);
    EXPECT_EQ(L"Permission denied", r2.error);
    EXPECT_FALSE(r2.process);
}

TEST(ProcExecDeathTest, EmptyApplicationPathHalts)
{
    EXPECT_EXIT(Platform::StartProcess(L"", {}), ::testing::ExitedWithCode(3),
                "\n>>>\n!appIn.empty\\(\\)\n<<<\n");
}

TEST(ProcExecWaitTest, WaitTerminateAndReap)
{
    const Platform::StartProcessResult r = Platform::StartProcess(L"/bin/sleep", {L"30"});
    ASSERT_TRUE(r.process) << r.error.c_str();
    const pid_t pid = pid_t(r.processId);

    EXPECT_FALSE(r.process->Wait(0));
    EXPECT_FALSE(r.process->Wait(30));
    EXPECT_TRUE(IsUnreapedChild(pid));

    EXPECT_EQ(L"", r.process->Terminate());
    EXPECT_TRUE(r.process->Wait(0xFFFFFFFFu));
    EXPECT_TRUE(r.process->Wait(0));
    EXPECT_FALSE(IsUnreapedChild(pid));     // reaped by the wait
    EXPECT_NE(L"", r.process->Terminate()); // nothing left to kill
}

TEST(ProcExecWaitTest, EndedChildIsReportedAgainAndAgain)
{
    const Platform::StartProcessResult r = Platform::StartProcess(L"/bin/sh", {L"-c", L"exit 5"});
    ASSERT_TRUE(r.process);
    EXPECT_TRUE(r.process->Wait(20000));
    EXPECT_TRUE(r.process->Wait(0));
    EXPECT_TRUE(r.process->Wait(0xFFFFFFFFu));
    EXPECT_FALSE(IsUnreapedChild(pid_t(r.processId)));
}

TEST(ProcExecWaitTest, DestroyingReapsAnEndedChild)
{
    Platform::StartProcessResult r = Platform::StartProcess(L"/bin/sh", {L"-c", L"exit 0"});
    ASSERT_TRUE(r.process);
    const pid_t pid = pid_t(r.processId);
    ASSERT_TRUE(WaitForZombie(pid));
    r.process.reset();
    EXPECT_FALSE(IsUnreapedChild(pid));
}

TEST(ProcExecWaitTest, ChildThatOutlivesItsOwnerIsReapedLater)
{
    Platform::StartProcessResult r = Platform::StartProcess(L"/bin/sleep", {L"30"});
    ASSERT_TRUE(r.process);
    const pid_t pid = pid_t(r.processId);
    r.process.reset(); // neither waits nor kills
    EXPECT_TRUE(IsUnreapedChild(pid));
    ASSERT_EQ(0, kill(pid, 0)); // still running

    ASSERT_EQ(0, kill(pid, SIGKILL));
    ASSERT_TRUE(WaitForZombie(pid));
    // The next launch sweeps the ended orphans.
    Platform::StartProcessResult next = Platform::StartProcess(L"/bin/sh", {L"-c", L"exit 0"});
    ASSERT_TRUE(next.process);
    EXPECT_FALSE(IsUnreapedChild(pid));
    EXPECT_TRUE(next.process->Wait(20000));
}

// A detached child is not ours to reap, runs in the given folder and gets only the standard
// descriptors.
TEST_F(ProcExecTest, DetachedChildIsNoChildOfOursAndInheritsNoDescriptor)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds)); // without close-on-exec
    ASSERT_EQ(100, dup2(fds[0], 100));
    const std::wstring script = L"{ echo $PPID; pwd -P; [ -e /proc/$$/fd/100 ] && echo open || echo closed; "
                                L"} > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"";
    const Platform::StartDetachedResult r =
        Platform::StartDetachedProcess(L"/bin/sh", {L"-c", script, OutFile()}, L"/tmp");
    close(100);
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(L"", r.error);
    ASSERT_NE(0u, r.processId);
    EXPECT_FALSE(IsUnreapedChild(pid_t(r.processId)));
    std::string out;
    for (int i = 0; i < 2000 && out.empty(); ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        out = ReadOut();
    }
    std::istringstream lines(out);
    std::string parent, dir, inherited;
    std::getline(lines, parent);
    std::getline(lines, dir);
    std::getline(lines, inherited);
    EXPECT_NE(std::to_string(getpid()), parent);
    EXPECT_EQ("/tmp", dir);
    EXPECT_EQ("closed", inherited);
}

TEST(ProcExecFailureTest, DetachedLaunchOfAMissingProgramIsReported)
{
    const Platform::StartDetachedResult r = Platform::StartDetachedProcess(L"/no/such/program", {}, L"/tmp");
    EXPECT_EQ(L"No such file or directory", r.error);
    EXPECT_EQ(0u, r.processId);
}

// ---- the detached launch's intermediate child ----

// It is a forked copy of a busy process: a lock another thread held at the fork (the allocator's,
// under a sanitizer) is held in it for ever. It must allocate nothing, and a child that stalls all
// the same must cost the launch, not hang it.

// The sanitizer's allocation hooks (absent from a plain build).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*))
    __attribute__((weak));

std::atomic<bool> g_reportForkedAllocs(false);
pid_t g_launcherPid = 0;
int g_forkedAllocPipe = -1;

void NoteForkedAlloc()
{
    if (g_reportForkedAllocs && getpid() != g_launcherPid)
    {
        const char c = 'a';
        (void)!write(g_forkedAllocPipe, &c, 1);
    }
}

void OnMalloc(const volatile void*, size_t)
{
    NoteForkedAlloc();
}

void OnFree(const volatile void*)
{
    NoteForkedAlloc();
}

TEST(ProcExecDetachedTest, IntermediateChildAllocatesNothing)
{
    if (__sanitizer_install_malloc_and_free_hooks == nullptr)
        GTEST_SKIP() << "needs the sanitizer's allocation hooks";
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
    g_launcherPid = getpid();
    g_forkedAllocPipe = fds[1];
    static bool installed = false;
    if (!installed)
        installed = __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree) != 0;
    ASSERT_TRUE(installed);
    g_reportForkedAllocs = true;
    const Platform::StartDetachedResult r = Platform::StartDetachedProcess(L"/bin/true", {}, L"/tmp");
    g_reportForkedAllocs = false;
    char buf[64];
    const ssize_t n = read(fds[0], buf, sizeof(buf));
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(L"", r.error);
    EXPECT_NE(0u, r.processId);
    EXPECT_LE(n, 0) << "the intermediate child allocated or freed memory";
}

// A forked child that stalls in its start, as one stuck on a lock would; released by the test.
std::atomic<bool> g_stallForkedChild(false);
int g_stallPipe = -1;

void StallInForkedChild()
{
    if (g_stallForkedChild)
    {
        char c;
        (void)!read(g_stallPipe, &c, 1);
    }
}

TEST(ProcExecDetachedTest, StalledIntermediateChildFailsTheLaunchInsteadOfHangingIt)
{
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    g_stallPipe = fds[0];
    static const int registered = pthread_atfork(nullptr, nullptr, &StallInForkedChild);
    ASSERT_EQ(0, registered);
    g_stallForkedChild = true;
    std::future<Platform::StartDetachedResult> launch = std::async(
        std::launch::async, [] { return Platform::StartDetachedProcess(L"/bin/true", {}, L"/tmp"); });
    // Well past the launcher's own bound; past it the child is released so the test ends anyway.
    const bool returned = launch.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    g_stallForkedChild = false;
    if (!returned)
        (void)!write(fds[1], "x", 1);
    const Platform::StartDetachedResult r = launch.get();
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(returned) << "the launch waited for its stalled child";
    EXPECT_NE(L"", r.error);
    EXPECT_EQ(0u, r.processId);
}

// ---- thread snapshots ----

std::set<uint32_t> TaskIds()
{
    std::set<uint32_t> res;
    DIR* d = opendir("/proc/self/task");
    while (const dirent* e = d ? readdir(d) : nullptr)
    {
        if (e->d_name[0] != '.')
        {
            res.insert(uint32_t(std::stoul(e->d_name)));
        }
    }
    if (d)
    {
        closedir(d);
    }
    return res;
}

std::set<uint32_t> SnapshotIds(const Platform::IProcSnapshot& s)
{
    std::set<uint32_t> res;
    for (int i = 0; i < s.ThreadCount(); ++i)
    {
        res.insert(s.ThreadIdAt(i));
    }
    return res;
}

// Runs until told to stop, with its own nice value.
class NiceThread : public Platform::Thread
{
public:
    NiceThread() : Platform::Thread("SnapProbe") {}
    ~NiceThread() override
    {
        m_stop = true;
        Wait();
    }

    bool WaitUntilRunning()
    {
        for (int i = 0; i < 2000 && !m_running; ++i)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return m_running;
    }

    std::string m_seenName;

private:
    void run() override
    {
        setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 7);
        m_seenName = Utils::ThreadNames::Instance().GetName(Platform::Thread::GetCurrentThreadID());
        m_running = true;
        while (!m_stop)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
};

TEST(ProcSnapshotTest, ListsTheThreadsOfThisProcess)
{
    const std::set<uint32_t> before = TaskIds();
    const std::unique_ptr<Platform::IProcSnapshot> s = Platform::CreateProcSnapshot();
    const std::set<uint32_t> after = TaskIds();
    EXPECT_EQ(int(before.size()), s->ThreadCount());
    if (before == after)
    {
        EXPECT_EQ(before, SnapshotIds(*s));
    }
    EXPECT_EQ(1u, SnapshotIds(*s).count(uint32_t(syscall(SYS_gettid))));
    EXPECT_EQ("?", s->ThreadPriority(0));
}

TEST(ProcSnapshotTest, IncludesARunningPlatformThreadWithItsPriority)
{
    Utils::ThreadNames::Instance(); // the creating thread is "main"
    NiceThread t;
    t.Start(QThread::NormalPriority);
    ASSERT_TRUE(t.WaitUntilRunning());
    const uint32_t id = uint32_t(reinterpret_cast<uintptr_t>(t.getID()));

    const std::unique_ptr<Platform::IProcSnapshot> s = Platform::CreateProcSnapshot();
    EXPECT_EQ(1u, SnapshotIds(*s).count(id));
    EXPECT_EQ("7", s->ThreadPriority(id));
    // The thread-name registry speaks of the same id.
    EXPECT_EQ(t.m_seenName, Utils::ThreadNames::Instance().GetName(t.getID()));
    EXPECT_EQ(0u, t.m_seenName.find("SnapProbe/"));
}

} // namespace
