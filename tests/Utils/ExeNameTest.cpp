#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <unistd.h>
#include "Platform/SysInfo.h"
#include "Utils/ExeName.h"
#include "Utils/StringUtils.h"

namespace
{

std::vector<std::string> View(int count, char** args)
{
    std::vector<std::string> res;
    for (int i = 0; i < count; ++i)
    {
        res.push_back(args[i]);
    }
    EXPECT_EQ(nullptr, args[count]); // laid out like a program's argv
    return res;
}

typedef std::vector<std::string> Strings;

// The executable of this test: absolute and existing, so it is taken over as it is.
std::string SelfPath()
{
    return Utils::UnicodeToLocaleString(Platform::GetExePath());
}

struct Argv
{
    explicit Argv(const Strings& items) : strings(items)
    {
        for (const std::string& s : strings)
        {
            ptrs.push_back(s.c_str());
        }
        ptrs.push_back(nullptr);
    }
    int Count() const { return int(strings.size()); }
    const char* const* Get() const { return ptrs.data(); }

    Strings strings;
    std::vector<const char*> ptrs;
};

TEST(ExeNameTest, SplitterCutsAtTheSeparator)
{
    const Argv a({"prog", "a", "b", "{", "c", "d"});
    const Utils::CmdLineSplitter s(a.Count(), a.Get(), "{");
    EXPECT_EQ(Strings({"prog", "a", "b"}), View(s.LeftCount(), s.LeftArgs()));
    EXPECT_EQ(Strings({"prog", "c", "d"}), View(s.RightCount(), s.RightArgs()));

    const Utils::CmdLineSplitter none(a.Count(), a.Get());
    EXPECT_EQ(a.strings, View(none.LeftCount(), none.LeftArgs()));
    EXPECT_EQ(Strings({"prog"}), View(none.RightCount(), none.RightArgs()));
}

TEST(ExeNameTest, SplitterMatchesWholeArgumentsOnly)
{
    const Argv a({"prog", "x{", "{x", "{{"});
    const Utils::CmdLineSplitter s(a.Count(), a.Get(), "{");
    EXPECT_EQ(a.strings, View(s.LeftCount(), s.LeftArgs()));
    EXPECT_EQ(1, s.RightCount());
}

TEST(ExeNameTest, FirstSeparatorGivesMainBeforeAndSplitAfter)
{
    const std::string self = SelfPath();
    const Argv a({self, "a", "b", "{", "c", "d"});
    const Utils::ExeName e(a.Count(), a.Get(), "{", "}");
    EXPECT_EQ(Strings({self, "a", "b"}), View(e.MainArgc(), e.MainArgv()));
    EXPECT_EQ(Strings({self, "c", "d"}), View(e.SplitArgc(), e.SplitArgv()));
    EXPECT_EQ(a.strings, View(e.AllArgc(), e.AllArgv()));
}

TEST(ExeNameTest, SecondSeparatorDecidesAndSwapsTheSides)
{
    const std::string self = SelfPath();
    const Argv a({self, "a", "b", "}", "c", "d"});
    const Utils::ExeName e(a.Count(), a.Get(), "{", "}");
    EXPECT_EQ(Strings({self, "c", "d"}), View(e.MainArgc(), e.MainArgv()));
    EXPECT_EQ(Strings({self, "a", "b"}), View(e.SplitArgc(), e.SplitArgv()));

    const Argv both({self, "a", "{", "b", "}", "c"});
    const Utils::ExeName e2(both.Count(), both.Get(), "{", "}");
    EXPECT_EQ(Strings({self, "c"}), View(e2.MainArgc(), e2.MainArgv()));
    EXPECT_EQ(Strings({self, "a", "{", "b"}), View(e2.SplitArgc(), e2.SplitArgv()));
    EXPECT_EQ(both.strings, View(e2.AllArgc(), e2.AllArgv()));
}

TEST(ExeNameTest, OneArgumentAndItsText)
{
    const std::string self = SelfPath();
    const Argv a({self});
    const Utils::ExeName e(a.Count(), a.Get(), "{", "}");
    EXPECT_EQ(1, e.MainArgc());
    EXPECT_EQ(1, e.SplitArgc());
    const std::wstring p = Utils::LocaleStringToUnicode(self);
    EXPECT_EQ(L"    main[1]: " + p + L" \n" + L"splitted[1]: " + p + L" \n" + L"Binary: " + p + L"\n",
              e.ArgsToString());
    EXPECT_EQ(p, e.GetExeName());
    EXPECT_EQ(self, e.GetExeNameRaw());
}

TEST(ExeNameTest, AbsoluteExistingPathIsTakenOver)
{
    // Not this process's file: the argument wins when it is absolute and exists.
    const Argv a({"/bin/sh"});
    const Utils::ExeName e(a.Count(), a.Get(), "{", "}");
    EXPECT_EQ(L"/bin/sh", e.GetExeName());
}

TEST(ExeNameTest, RelativeOrMissingPathGivesTheSystemPath)
{
    char link[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", link, sizeof(link) - 1), 0);
    const std::wstring expected = Utils::LocaleStringToUnicode(link);

    for (const char* arg0 : {"test_Utils", "./relative/name", "/no/such/dir/prog", ""})
    {
        const Argv a({arg0, "x"});
        const Utils::ExeName e(a.Count(), a.Get(), "{", "}");
        EXPECT_EQ(expected, e.GetExeName()) << arg0;
        EXPECT_EQ(std::string(arg0), e.MainArgv()[0]); // the views keep the argument as given
    }
}

void InitTwice()
{
    const std::string self = SelfPath();
    const char* argv[] = {self.c_str(), "p"};
    Utils::ExeName::Init(2, argv, "{", "}");
    if (!Utils::ExeName::IsInitialized() || Utils::ExeName::Instance().MainArgc() != 2)
    {
        std::exit(1);
    }
    Utils::ExeName::Init(2, argv, "{", "}");
}

TEST(ExeNameDeathTest, InitOnceAndInstanceAfterInit)
{
    EXPECT_EXIT(Utils::ExeName::Instance(), ::testing::ExitedWithCode(3), "\n>>>\ng_pExeName != 0\n<<<\n");
    EXPECT_EXIT(InitTwice(), ::testing::ExitedWithCode(3), "\n>>>\ng_pExeName == 0\n<<<\n");
}

TEST(ExeNameDeathTest, SeparatorTwiceHalts)
{
    const Argv a({"prog", "a", "{", "b", "{", "c"});
    EXPECT_EXIT(Utils::CmdLineSplitter(a.Count(), a.Get(), "{"), ::testing::ExitedWithCode(3),
                "\n>>>\nleftSide\n<<<\n");
}

TEST(ExeNameDeathTest, NoArgumentsHalts)
{
    const char* argv[] = {nullptr};
    EXPECT_EXIT(Utils::CmdLineSplitter(0, argv, "{"), ::testing::ExitedWithCode(3),
                "\n>>>\nargc >= 1\n<<<\n");
}

} // namespace
