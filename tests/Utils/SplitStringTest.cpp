#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "Utils/SplitString.h"

namespace
{

std::vector<std::string> Split(const std::string& text, const std::string& sep, bool skipEmpty)
{
    Utils::ManagedList<std::string> list;
    Utils::SplitString(text, sep, list, skipEmpty);
    std::vector<std::string> res;
    for (uint64_t i = 0; i < list.Size(); ++i)
    {
        res.push_back(*list[i]);
    }
    return res;
}

using V = std::vector<std::string>;

TEST(SplitStringTest, Pieces)
{
    EXPECT_EQ((V{"a", "b", "c"}), Split("a;b;c", ";", false));
    EXPECT_EQ((V{"a", "", "b"}), Split("a;;b", ";", false));
    EXPECT_EQ((V{"a", "b"}), Split("a;;b", ";", true));
    EXPECT_EQ((V{"a", ""}), Split("a;", ";", false));
    EXPECT_EQ((V{"a"}), Split("a;", ";", true));
    EXPECT_EQ((V{"", "a"}), Split(";a", ";", false));
    EXPECT_EQ((V{"", ""}), Split(";", ";", false));
    EXPECT_EQ((V{"tcp", "host"}), Split("tcp://host", "://", true));
    EXPECT_EQ((V{"k", "v=w"}), Split("k###v=w", "###", false));
}

TEST(SplitStringTest, EmptyTextAndSeparator)
{
    EXPECT_EQ((V{""}), Split("", ";", false));
    EXPECT_EQ(V(), Split("", ";", true));
    EXPECT_EQ((V{"a;b"}), Split("a;b", "", false));
    EXPECT_EQ((V{""}), Split("", "", false));
    EXPECT_EQ(V(), Split("", "", true));
    EXPECT_EQ((V{"ab"}), Split("ab", "abc", false));
}

TEST(SplitStringTest, SeparatorMatchesBytewiseWithoutOverlap)
{
    EXPECT_EQ((V{"", "a"}), Split("::a", "::", false));
    EXPECT_EQ((V{"", ":a"}), Split(":::a", "::", false));
    EXPECT_EQ((V{"x\xE9", "y"}), Split("x\xE9\x01y", "\x01", false));
    EXPECT_EQ((V{"A", "a"}), Split("AXa", "X", false));
    EXPECT_EQ((V{"AxaXb"}), Split("AxaXb", "XX", false));
}

TEST(SplitStringTest, PreviousContentIsAlwaysDeleted)
{
    Utils::ManagedList<std::string> list;
    list.Add(new std::string("old1"));
    list.Add(new std::string("old2"));
    Utils::SplitString("", ";", list, true);
    EXPECT_TRUE(list.IsEmpty());

    list.Add(new std::string("old"));
    Utils::SplitString("n", ";", list, false);
    ASSERT_EQ(1u, list.Size());
    EXPECT_EQ("n", *list[0]);
}

} // namespace
