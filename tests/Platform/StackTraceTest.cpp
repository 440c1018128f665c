#include <dirent.h>
#include <fcntl.h>
#include <atomic>
#include <cstdlib>
#include <set>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/DebugOutput.h"
#include "Platform/StackTrace.h"
#include "Platform/Thread.h"

namespace
{

using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> res;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line))
        res.push_back(line);
    return res;
}

// Collects what the stack walker reports for a debugger while it lives.
class SinkCapture
{
public:
    SinkCapture()
    {
        m_prev = Platform::SetDebugOutputSink(
            [this](const std::string& t)
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_text += t;
            });
    }
    ~SinkCapture() { Platform::SetDebugOutputSink(m_prev); }

    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_text;
    }

    size_t Count(const std::string& what)
    {
        std::string t = Text();
        size_t n = 0;
        for (size_t p = t.find(what); p != std::string::npos; p = t.find(what, p + 1))
            ++n;
        return n;
    }

private:
    std::mutex m_lock;
    std::string m_text;
    Platform::DebugOutputSink m_prev;
};

class ForceSymbols
{
public:
    explicit ForceSymbols(int v) { Platform::detail::ForceSymbolFileFlag(v); }
    ~ForceSymbols() { Platform::detail::ForceSymbolFileFlag(-1); }
};

__attribute__((noinline)) std::string FrameA(bool viaGate)
{
    std::string s = viaGate ? Platform::CaptureStackTrace() : Platform::GetStackTrace(true);
    asm volatile("" ::: "memory"); // keeps the call from becoming a tail call
    return s;
}

__attribute__((noinline)) std::string FrameB(bool viaGate)
{
    std::string s = FrameA(viaGate);
    asm volatile("" ::: "memory");
    return s;
}

TEST(StackTraceTest, SymbolisedTraceStartsAtTheCaller)
{
    ASSERT_TRUE(Platform::GetStackWalker().HasOwnSymbols());
    for (bool viaGate : {false, true})
    {
        const std::string trace = FrameB(viaGate);
        std::vector<std::string> lines = Lines(trace);
        ASSERT_GE(lines.size(), 3u) << trace;
        // The frame's name alone: no file and line.
        EXPECT_THAT(lines[0], HasSubstr("FrameA"));
        EXPECT_THAT(lines[0], Not(HasSubstr(".cpp:")));
        EXPECT_THAT(lines[1], HasSubstr("FrameB"));
        EXPECT_THAT(trace, Not(HasSubstr("Platform::GetStackTrace")));
        EXPECT_THAT(trace, Not(HasSubstr("Platform::CaptureStackTrace")));
        EXPECT_EQ('\n', trace.back());
        EXPECT_THAT(trace, HasSubstr("SymbolisedTraceStartsAtTheCaller"));
    }
}

TEST(StackTraceTest, WithoutSymbolFileLinesCarryAddressesAndKeepTheMachinery)
{
    ForceSymbols none(0);
    const std::string trace = FrameB(false);
    const std::regex line("^0x[0-9a-f]{16}\t.+$");
    std::vector<std::string> lines = Lines(trace);
    ASSERT_FALSE(lines.empty());
    for (const std::string& l : lines)
        EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_THAT(trace, HasSubstr("Platform::GetStackTrace"));
    EXPECT_THAT(trace, HasSubstr("FrameA"));
}

TEST(StackTraceTest, FrameEntryOfUnknownAddressesIsEmpty)
{
    Platform::StackEntry zero = Platform::GetFrameEntry(0);
    EXPECT_EQ(0u, zero.address);
    EXPECT_TRUE(zero.name.empty());
    Platform::StackEntry nowhere = Platform::GetFrameEntry(16);
    EXPECT_TRUE(nowhere.name.empty());
    EXPECT_TRUE(nowhere.lineFileName.empty());
}

TEST(StackTraceTest, FrameEntryResolvesNameFileLineAndModule)
{
    std::vector<uint64_t> frames = Platform::GetStackFrames(nullptr);
    ASSERT_FALSE(frames.empty());
    // The first frames belong to the walker; this test body's frame follows them.
    Platform::StackEntry self;
    for (uint64_t a : frames)
    {
        self = Platform::GetFrameEntry(a);
        if (self.undFullName.find("FrameEntryResolvesNameFileLineAndModule") != std::string::npos)
            break;
    }
    EXPECT_THAT(self.undFullName, HasSubstr("FrameEntryResolvesNameFileLineAndModule"));
    EXPECT_THAT(self.lineFileName, HasSubstr("StackTraceTest.cpp"));
    EXPECT_GT(self.lineNumber, 0u);
    EXPECT_NE(0u, self.baseOfImage);
    EXPECT_FALSE(self.loadedImageName.empty());
    EXPECT_EQ(self.name.compare(0, 2, "_Z"), 0) << self.name; // raw names are the mangled ones
}

std::vector<uint64_t> g_deepFrames;

__attribute__((noinline)) int Recurse(int depth)
{
    if (depth == 0)
    {
        g_deepFrames = Platform::GetStackFrames(nullptr);
        return 0;
    }
    int r = Recurse(depth - 1);
    asm volatile("" ::: "memory");
    return r + 1;
}

std::set<int> OpenFds()
{
    std::set<int> res;
    if (DIR* d = opendir("/proc/self/fd"))
    {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                res.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return res;
}

// The files a trace keeps open are close-on-exec, and releasing them closes every one.
TEST(StackTraceTest, TheFilesATraceKeepsAreCloseOnExecAndCanBeReleased)
{
    Platform::ReleaseStackTraceFiles();
    const std::set<int> before = OpenFds();
    ASSERT_FALSE(Platform::GetStackTrace(false).empty());
    int kept = 0;
    for (int fd : OpenFds())
    {
        if (before.count(fd) != 0)
            continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags < 0)
            continue; // the directory listing's own descriptor, closed by now
        ++kept;
        EXPECT_NE(0, flags & FD_CLOEXEC) << "descriptor " << fd;
    }
    EXPECT_GT(kept, 0); // the trace did keep files open
    Platform::ReleaseStackTraceFiles();
    EXPECT_EQ(before, OpenFds());
}

TEST(StackTraceTest, EndlessRecursionStopsAfterTheRepeatLimit)
{
    SinkCapture sink;
    ASSERT_EQ(1500, Recurse(1500));
    EXPECT_GT(g_deepFrames.size(), 1000u);
    EXPECT_LT(g_deepFrames.size(), 1010u);
    EXPECT_EQ(1u, sink.Count("StackWalk64-Endless-Callstack!"));

    // A shallow walk ends normally.
    Recurse(10);
    EXPECT_EQ(1u, sink.Count("StackWalk64-Endless-Callstack!"));
    EXPECT_EQ(1u, sink.Count("ERROR: StackWalk64, GetLastError: 0"));
}

// Two functions calling each other: no two neighbouring frames repeat, so only the frame cap
// ends the walk.
__attribute__((noinline)) int PingDeep(int depth, std::vector<uint64_t>& frames, std::string& trace);

__attribute__((noinline)) int PongDeep(int depth, std::vector<uint64_t>& frames, std::string& trace)
{
    int r = PingDeep(depth - 1, frames, trace);
    asm volatile("" ::: "memory");
    return r + 1;
}

__attribute__((noinline)) int PingDeep(int depth, std::vector<uint64_t>& frames, std::string& trace)
{
    if (depth <= 0)
    {
        frames = Platform::GetStackFrames(nullptr);
        trace = Platform::GetStackTrace(true);
        return 0;
    }
    int r = PongDeep(depth - 1, frames, trace);
    asm volatile("" ::: "memory");
    return r + 1;
}

class DeepThread : public Platform::Thread
{
public:
    DeepThread() : Platform::Thread("Deep", 64 * 1024 * 1024) {}
    ~DeepThread() override { Wait(); }

    std::vector<uint64_t> frames;
    std::string trace;

private:
    void run() override { PingDeep(12000, frames, trace); }
};

TEST(StackTraceTest, RunawayStackIsCutAtTheFrameLimit)
{
    SinkCapture sink;
    DeepThread t;
    t.Start(QThread::InheritPriority);
    t.Wait();
    EXPECT_EQ(size_t(Platform::StackWalker::c_maxFrames), t.frames.size());
    EXPECT_EQ(2u, sink.Count("StackWalk64-Frame-Limit!")); // the frame list and the trace
    EXPECT_EQ(0u, sink.Count("StackWalk64-Endless-Callstack!"));
    const std::vector<std::string> lines = Lines(t.trace);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("<stack trace cut after 10000 frames>", lines.back());
    EXPECT_THAT(t.trace, HasSubstr("PongDeep"));
}

TEST(StackTraceTest, ModulesAreRegisteredOnce)
{
    Platform::CaptureStackTrace(); // whatever happened before, the modules are known now
    SinkCapture sink;
    std::string a = Platform::CaptureStackTrace();
    std::string b = Platform::CaptureStackTrace();
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(0u, sink.Count("SymType:"));
}

// A walker of its own whose reports are counted.
class CountingWalker : public Platform::StackWalker
{
public:
    size_t Count(const std::string& what) const
    {
        size_t n = 0;
        for (size_t p = m_text.find(what); p != std::string::npos; p = m_text.find(what, p + 1))
            ++n;
        return n;
    }

protected:
    void WriteOutput(const char* text) override { m_text += text; }

private:
    std::string m_text;
};

TEST(StackTraceTest, AWalkerRegistersTheModulesOnlyOnce)
{
    CountingWalker walker;
    Platform::StackEntry e;
    EXPECT_EQ(0, walker.GetEntry(0, e, false));
    EXPECT_EQ(0u, walker.Count("SymType:")); // nothing is loaded for address 0

    const uint64_t here = reinterpret_cast<uint64_t>(reinterpret_cast<void*>(&FrameA));
    ASSERT_EQ(1, walker.GetEntry(here, e, false));
    EXPECT_THAT(e.undName, HasSubstr("FrameA"));
    const size_t modules = walker.Count("SymType:");
    EXPECT_GT(modules, 1u); // this executable and at least the C library
    EXPECT_EQ(1u, walker.Count("SymInit:"));

    const uint64_t other = reinterpret_cast<uint64_t>(reinterpret_cast<void*>(&FrameB));
    ASSERT_EQ(1, walker.GetEntry(other, e, false));
    EXPECT_THAT(e.undName, HasSubstr("FrameB"));
    walker.GetCallstack(nullptr);
    EXPECT_EQ(modules, walker.Count("SymType:"));
    EXPECT_EQ(1u, walker.Count("SymInit:"));
}

TEST(StackTraceTest, ConcurrentTracesAreSerialised)
{
    std::atomic<int> good(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
    {
        threads.emplace_back(
            [&good]
            {
                for (int k = 0; k < 20; ++k)
                {
                    if (FrameB(k % 2 == 0).find("FrameA") != std::string::npos)
                        ++good;
                }
            });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(80, good.load());
}

} // namespace
