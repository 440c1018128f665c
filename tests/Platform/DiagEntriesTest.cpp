#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>
#include "Platform/DiagEntries.h"
#include "Platform/SmBios.h"
#include "Platform/SysInfo.h"
#include "Utils/AppEntry.h"
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "common/EntryHostRun.h"

namespace
{

// Standard input that hands out one empty line per read and records, at each read, what the
// probe says; standard output is captured meanwhile.
class ProbingInput : public std::streambuf
{
public:
    explicit ProbingInput(std::function<int()> probe) : m_probe(std::move(probe)) {}

    std::vector<int> seen;

protected:
    int_type underflow() override
    {
        seen.push_back(m_probe());
        m_ch = '\n';
        setg(&m_ch, &m_ch, &m_ch + 1);
        return traits_type::to_int_type(m_ch);
    }

private:
    std::function<int()> m_probe;
    char m_ch = '\n';
};

class StdStreamsSwap
{
public:
    StdStreamsSwap(std::streambuf* in) : m_oldIn(std::cin.rdbuf(in)), m_oldOut(std::cout.rdbuf(m_out.rdbuf()))
    {
    }
    ~StdStreamsSwap()
    {
        std::cin.rdbuf(m_oldIn);
        std::cout.rdbuf(m_oldOut);
        std::cin.clear();
    }
    std::string Out() const { return m_out.str(); }

private:
    std::ostringstream m_out;
    std::streambuf* m_oldIn;
    std::streambuf* m_oldOut;
};

// An allocator that hands out addresses without memory and keeps count.
struct CountingAlloc
{
    static std::vector<uintptr_t> freed;
    static std::set<uintptr_t> live;
    static uintptr_t next;

    static void* Alloc(size_t size)
    {
        next += size;
        live.insert(next);
        return reinterpret_cast<void*>(next);
    }
    static void Free(void* p)
    {
        const uintptr_t a = reinterpret_cast<uintptr_t>(p);
        EXPECT_EQ(1u, live.erase(a));
        freed.push_back(a);
    }
};
std::vector<uintptr_t> CountingAlloc::freed;
std::set<uintptr_t> CountingAlloc::live;
uintptr_t CountingAlloc::next = 0x100000;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> res;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        res.push_back(line);
    return res;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(DiagEntriesTest, HeapTestFreesEveryOtherBlockThenTheRest)
{
    // The counts are static: start from nothing on every run of the test.
    CountingAlloc::freed.clear();
    CountingAlloc::live.clear();
    const size_t base = CountingAlloc::next;
    ProbingInput input([] { return static_cast<int>(CountingAlloc::live.size()); });
    std::string out;
    {
        StdStreamsSwap swap(&input);
        EXPECT_EQ(0, Platform::HeapTest<CountingAlloc>(0x80000, 7));
        out = swap.Out();
    }
    // The program waited three times: all 7 blocks live, then 3 (blocks 1, 3, 5), then none.
    EXPECT_EQ((std::vector<int>{7, 3, 0}), input.seen);
    ASSERT_EQ(7u, CountingAlloc::freed.size());
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(base + 0x80000 * (2 * i + 1), CountingAlloc::freed[i]) << i;

    const std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(3u, lines.size()) << out;
    EXPECT_EQ(0u, lines[0].find("allocated 512.0K x 7 via ")) << lines[0];
    EXPECT_TRUE(EndsWith(lines[0], "CountingAlloc...")) << lines[0];
    EXPECT_EQ("Half free...", lines[1]);
    EXPECT_EQ("Full free...", lines[2]);
}

TEST(DiagEntriesTest, SmBiosPrintShowsTheFieldsOrTheError)
{
    std::vector<uint8_t> raw = {0, 3, 4, 0, 0, 0, 0, 0, 1, 8, 0, 0, 1, 2, 3, 4};
    for (const char* s : {"Maker", "Box", "1.0", "SN-42"})
        raw.insert(raw.end(), s, s + std::strlen(s) + 1);
    raw.push_back(0);
    raw[4] = static_cast<uint8_t>(raw.size() - 8);
    const std::vector<uint8_t> noSystemInfo = {0, 3, 4, 0, 6, 0, 0, 0, 3, 4, 0, 0, 0, 0};

    for (const std::vector<uint8_t>* table : std::vector<const std::vector<uint8_t>*>{&raw, &noSystemInfo})
    {
        Win32::SetFirmwareTableProvider(
            [table](uint32_t, uint32_t, void* buf, uint32_t size) -> uint32_t
            {
                if (buf != nullptr && size >= table->size())
                    std::memcpy(buf, table->data(), table->size());
                return static_cast<uint32_t>(table->size());
            });
        std::istringstream none;
        std::string out;
        {
            StdStreamsSwap swap(none.rdbuf());
            EXPECT_EQ(0, Platform::SmBiosInfoPrint());
            out = swap.Out();
        }
        if (table == &raw)
        {
            EXPECT_EQ("SMBIOS info: manufacturer 'Maker'; product 'Box'; ver 1.0; serial SN-42\n", out);
        }
        else
        {
            EXPECT_EQ(0u, out.find("SMBIOS info: ")) << out;
            EXPECT_NE(std::string::npos, out.find("System information not found")) << out;
            EXPECT_NE(std::string::npos, out.find("ESS::Exception")) << out;
        }
    }
    Win32::SetFirmwareTableProvider(Win32::FirmwareTableFn());
}

// The four lines of the exceptions test.
void CheckCastLines(const std::string& out)
{
    const std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(4u, lines.size()) << out;

    // "Cast <B> -> <A> is same": single inheritance keeps the address.
    EXPECT_EQ(0u, lines[0].find("Cast ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find("B -> ")) << lines[0];
    EXPECT_TRUE(EndsWith(lines[0], "A is same")) << lines[0];

    // "Cast <D> -> std::exception is not same": the second base lies elsewhere.
    const std::string tail = " -> std::exception is not same";
    ASSERT_TRUE(EndsWith(lines[1], tail)) << lines[1];
    const std::string dName = lines[1].substr(5, lines[1].size() - 5 - tail.size());
    EXPECT_TRUE(EndsWith(dName, "D")) << dName;

    // The thrown type, and what the std::exception inside it says.
    EXPECT_EQ(dName, lines[2]);
    EXPECT_EQ(" what: Everything is fine", lines[3]);
}

TEST(DiagEntriesTest, CastTestInProcess)
{
    std::istringstream none;
    std::string out;
    {
        StdStreamsSwap swap(none.rdbuf());
        EXPECT_EQ(0, Platform::CastTest());
        out = swap.Out();
    }
    CheckCastLines(out);
}

// Without the entry host: a started process has the three entries, and each runs by name (the
// SMBIOS one over a table without System Information, the heap test with its input at an end).
// Runs in a child; the exit code says what failed.
int RunEntriesByNameInChild()
{
    const std::string exe = Utils::UnicodeToLocaleString(Platform::GetExePath());
    const char* argv[] = {exe.c_str()};
    Utils::ExeName::Init(1, argv, "{", "}");
    Utils::DelayInitHost::Instance().DoInit();
    const std::vector<std::string> names = Utils::AppEntryNames();
    for (const char* name : {"WinHeapTest", "WinExceptionsTest", "SmBiosInfo"})
    {
        if (std::find(names.begin(), names.end(), name) == names.end())
            return 11;
    }
    const std::vector<uint8_t> noSystemInfo = {0, 3, 4, 0, 6, 0, 0, 0, 3, 4, 0, 0, 0, 0};
    Win32::SetFirmwareTableProvider(
        [&noSystemInfo](uint32_t, uint32_t, void* buf, uint32_t size) -> uint32_t
        {
            if (buf != nullptr && size >= noSystemInfo.size())
                std::memcpy(buf, noSystemInfo.data(), noSystemInfo.size());
            return static_cast<uint32_t>(noSystemInfo.size());
        });
    std::istringstream none;
    std::string out;
    {
        StdStreamsSwap swap(none.rdbuf());
        for (const char* name : {"SmBiosInfo", "WinExceptionsTest", "WinHeapTest"})
        {
            if (Utils::RunEntry(name, {"ignored"}).value_or(12) != 0)
                return 13;
        }
        out = swap.Out();
    }
    const std::vector<std::string> lines = Lines(out);
    const bool ok = lines.size() > 8 && lines[0].rfind("SMBIOS info: ", 0) == 0 &&
                    out.find("System information not found") != std::string::npos &&
                    lines[lines.size() - 4] == " what: Everything is fine" &&
                    lines[lines.size() - 3].rfind("allocated 512.0K x 1000 via ", 0) == 0 &&
                    lines.back() == "Full free...";
    return ok ? 0 : 14;
}

TEST(DiagEntriesTest, EntriesAreRegisteredAndRunByName)
{
    EXPECT_EXIT(std::exit(RunEntriesByNameInChild()), ::testing::ExitedWithCode(0), "");
}

class DiagEntriesHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!TestUtils::EntryHostBuilt())
            GTEST_SKIP() << "entry_host is not built";
    }
};

TEST_F(DiagEntriesHostTest, ExceptionsTestPrintsFourLines)
{
    const TestUtils::EntryHostRun r = TestUtils::RunEntryHost("WinExceptionsTest");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(0, r.exitCode) << r.err.toStdString();
    CheckCastLines(r.out.toStdString());
}

TEST_F(DiagEntriesHostTest, HeapTestWaitsThreeTimes)
{
    const TestUtils::EntryHostRun r = TestUtils::RunEntryHost("WinHeapTest", "\n\n\n");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(0, r.exitCode) << r.err.toStdString();
    const std::vector<std::string> lines = Lines(r.out.toStdString());
    ASSERT_EQ(3u, lines.size()) << r.out.toStdString();
    EXPECT_EQ(0u, lines[0].find("allocated 512.0K x 1000 via ")) << lines[0];
    EXPECT_TRUE(EndsWith(lines[0], "AllocCRT...")) << lines[0];
    EXPECT_EQ("Half free...", lines[1]);
    EXPECT_EQ("Full free...", lines[2]);
}

TEST_F(DiagEntriesHostTest, SmBiosInfoPrintsOneResult)
{
    const TestUtils::EntryHostRun r = TestUtils::RunEntryHost("SmBiosInfo");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(0, r.exitCode) << r.err.toStdString();
    const std::string out = r.out.toStdString();
    ASSERT_EQ(0u, out.find("SMBIOS info: ")) << out;
    if (access("/sys/firmware/dmi/tables/DMI", R_OK) == 0)
    {
        // Either the identity or a malformation of this machine's table, never a failed query.
        EXPECT_EQ(std::string::npos, out.find("get size failed")) << out;
    }
    else
    {
        EXPECT_NE(std::string::npos, out.find("get size failed, error #")) << out;
    }
}

} // namespace
