// The diagnostic entries "VMwareTestElf", "VMwareTestProcExe" and "TestProcExeZombie", run as the
// application family runs them: the entry host with "/entry NAME ARGS...", in a folder of its own
// whose configuration logs there. Their only output is the log, one file per process.
#include <spawn.h>
#include <sys/stat.h>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include "VMware/ProcessTestUtils.h"

extern char** environ;

namespace
{

namespace fs = boost::filesystem;
using namespace ProcTest;

class TestEntriesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
        const fs::path host = build / "tools/entry_host/entry_host";
        if (!fs::exists(host))
            GTEST_SKIP() << "not built: " << host.string();
        char tmpl[] = "/tmp/yr-entries-XXXXXX";
        m_dir = fs::canonical(::mkdtemp(tmpl));
        fs::create_directory(m_dir / "logs");
        // The application's folder is the one of the program as it was started.
        fs::create_symlink(host, m_dir / "entry_host");
        std::ofstream((m_dir / "config.ini").string()) << "LogToFile=1\nLogFolder=logs\n";
        m_waiter = std::make_unique<FileWaiter>(std::vector<fs::path>{m_dir, m_dir / "logs"});
    }

    void TearDown() override
    {
        m_waiter.reset();
        boost::system::error_code ec;
        if (!m_dir.empty())
            fs::remove_all(m_dir, ec);
    }

    // Runs the entry with its words and returns the host's exit code.
    int RunEntry(const std::string& name, const std::vector<std::string>& words)
    {
        std::vector<std::string> argv{(m_dir / "entry_host").string(), "/entry", name};
        argv.insert(argv.end(), words.begin(), words.end());
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(&a[0]);
        args.push_back(nullptr);
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
                envs.push_back(*e);
        envs.push_back("ASAN_OPTIONS=detect_leaks=0"); // children end at their own pace
        std::vector<char*> envp;
        for (std::string& e : envs)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (m_dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_addopen(&fa, 2, (m_dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return -2;
        return WaitChild(pid);
    }

    // The texts of every log file, one entry per process.
    std::vector<std::string> Logs() const
    {
        std::vector<std::string> res;
        for (fs::directory_iterator it(m_dir / "logs"), end; it != end; ++it)
            if (it->path().extension() == ".log")
                res.push_back(ReadFile(it->path()));
        return res;
    }
    std::string AllLogs() const
    {
        std::string s;
        for (const std::string& l : Logs())
            s += l;
        return s;
    }
    // Waits until n processes have logged and ended their logging.
    bool WaitProcessesEnded(size_t n)
    {
        return m_waiter->Wait([&] { return CountOf(AllLogs(), "Log set-up ends") >= n; });
    }

    fs::path m_dir;
    std::unique_ptr<FileWaiter> m_waiter;
};

TEST_F(TestEntriesTest, TestElfAttachedCopiesTheProgramsOutputAndItsEnd)
{
    ASSERT_EQ(0, RunEntry("VMwareTestElf", {"0", "/bin/echo", "hello", "world"}));
    const std::string log = AllLogs();
    EXPECT_EQ(1u, CountOf(log, "Start, detached 'false', exe '/bin/echo', dir '/bin', args 'hello world'"))
        << log;
    EXPECT_EQ(1u, CountOf(log, "RES: hello world")) << log;
    EXPECT_EQ(1u, CountOf(log, "StartTestProc, code: 0, NormalExit, UnknownError")) << log;
    EXPECT_EQ(1u, CountOf(log, "StartTestProc: false, 0")) << log;
    EXPECT_LT(log.find("StartTestProc: false, 0"), log.find("Finished VMwareTestElf")) << log;
}

TEST_F(TestEntriesTest, TestElfDetachedReportsTheNewProcess)
{
    const fs::path marker = m_dir / "detached.txt";
    ASSERT_EQ(0, RunEntry("VMwareTestElf", {"1", "/bin/sh", "-c", "echo started > " + marker.string()}));
    ASSERT_TRUE(m_waiter->Wait([&] { return ReadFile(marker) == "started\n"; }));
    const std::string log = AllLogs();
    EXPECT_EQ(1u, CountOf(log, "Start, detached 'true', exe '/bin/sh'")) << log;
    EXPECT_EQ(1u, CountOf(log, "StartTestProc: true, ")) << log;
    EXPECT_EQ(0u, CountOf(log, "StartTestProc: true, 0\n")) << log; // a real process id
    EXPECT_EQ(0u, CountOf(log, "StartTestProc, code:")) << log;
}

TEST_F(TestEntriesTest, ProcExeWithAMissingProgramStartsNothing)
{
    ASSERT_EQ(0, RunEntry("VMwareTestProcExe", {"/nonexistent/program"}));
    const std::string log = AllLogs();
    EXPECT_EQ(1u, CountOf(log, "FirstArg: /nonexistent/program")) << log;
    EXPECT_EQ(1u, CountOf(log, "Exit because path is incorrect: /nonexistent/program")) << log;
    EXPECT_EQ(0u, CountOf(log, "ChildProc")) << log;
    EXPECT_EQ(1u, Logs().size());
}

TEST_F(TestEntriesTest, ProcExeRelaunchesItselfOnceAndBothSidesWaitTheirTime)
{
    ASSERT_EQ(0, RunEntry("VMwareTestProcExe", {}));
    ASSERT_TRUE(WaitProcessesEnded(2)) << AllLogs();
    const std::vector<std::string> logs = Logs();
    ASSERT_EQ(2u, logs.size());
    const std::string all = AllLogs();
    EXPECT_EQ(1u, CountOf(all, "ChildProc: Exit by timeout")) << all;
    EXPECT_EQ(1u, CountOf(all, "ChildProc: Exit by stop flag")) << all;
    EXPECT_EQ(1u, CountOf(all, "FirstArg: true")) << all;
    EXPECT_EQ(0u, CountOf(all, "Couldn't launch child process")) << all;
}

TEST_F(TestEntriesTest, ZombieTestStartsTwoChildrenThatEndBeforeTheParent)
{
    ASSERT_EQ(0, RunEntry("TestProcExeZombie", {}));
    ASSERT_TRUE(WaitProcessesEnded(3)) << AllLogs();
    const std::vector<std::string> logs = Logs();
    ASSERT_EQ(3u, logs.size());
    // The parent's log is the one without a first argument; its logging ends last (records start
    // with their time, so the texts compare in time order).
    std::string parentEnd;
    std::vector<std::string> childEnds;
    for (const std::string& l : logs)
    {
        const size_t at = l.rfind('\n', l.find("Log set-up ends"));
        const std::string endLine = l.substr(at == std::string::npos ? 0 : at + 1, 23);
        if (CountOf(l, "FirstArg: true") == 1)
            childEnds.push_back(endLine);
        else
            parentEnd = endLine;
    }
    ASSERT_EQ(2u, childEnds.size());
    ASSERT_FALSE(parentEnd.empty());
    for (const std::string& c : childEnds)
        EXPECT_LT(c, parentEnd);
    EXPECT_EQ(0u, CountOf(AllLogs(), "Couldn't launch child process"));
}

} // namespace
