#include <gtest/gtest.h>
#include "common/RegexLiteral.h"

#include <string>
#include <vector>
#include "Utils/ManagedList.h"

namespace
{

using TestUtils::Literal;

// Records the order in which elements die.
struct Tracked
{
    Tracked(int id, std::vector<int>& log) : id(id), log(log) {}
    ~Tracked() { log.push_back(id); }

    int id;
    std::vector<int>& log;
};

std::vector<int> Ids(const Utils::ManagedList<Tracked>& list)
{
    std::vector<int> res;
    for (uint64_t i = 0; i < list.Size(); ++i)
    {
        res.push_back(list[i] ? list[i]->id : -1);
    }
    return res;
}

void Fill(Utils::ManagedList<Tracked>& list, int count, std::vector<int>& log)
{
    for (int i = 0; i < count; ++i)
    {
        list.Add(new Tracked(i, log));
    }
}

TEST(ManagedListTest, DeleteRangeDeletesHalfOpenRangeAndKeepsOrder)
{
    std::vector<int> log;
    Utils::ManagedList<Tracked> list;
    Fill(list, 5, log);

    list.DeleteRange(1, 3);
    EXPECT_EQ((std::vector<int>{1, 2}), log);
    EXPECT_EQ((std::vector<int>{0, 3, 4}), Ids(list));

    list.DeleteRange(2, 2);
    EXPECT_EQ(3u, list.Size());
    EXPECT_EQ((std::vector<int>{1, 2}), log);
}

TEST(ManagedListTest, ResizeAndDestructionDeleteInIndexOrder)
{
    std::vector<int> log;
    {
        Utils::ManagedList<Tracked> list;
        EXPECT_TRUE(list.IsEmpty());
        list.Resize(0);
        EXPECT_TRUE(list.IsEmpty());

        Fill(list, 3, log);
        list.Resize(3);
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(3u, list.Size());

        list.Resize(0);
        EXPECT_EQ((std::vector<int>{0, 1, 2}), log);
        EXPECT_TRUE(list.IsEmpty());

        log.clear();
        Fill(list, 4, log);
        list.Resize(1);
        EXPECT_EQ((std::vector<int>{1, 2, 3}), log);
        log.clear();
    }
    EXPECT_EQ((std::vector<int>{0}), log);
}

TEST(ManagedListTest, DoDelete)
{
    std::vector<int> log;
    Utils::ManagedList<Tracked> list(true, true);
    Fill(list, 3, log);

    list.DoDelete(1, true);
    EXPECT_EQ((std::vector<int>{1}), log);
    EXPECT_EQ((std::vector<int>{0, 2}), Ids(list));

    // Without erase the slot stays, empty: nothing is deleted twice later.
    list.DoDelete(0, false);
    EXPECT_EQ((std::vector<int>{-1, 2}), Ids(list));
    list.Resize(0);
    EXPECT_EQ((std::vector<int>{1, 0, 2}), log);
}

TEST(ManagedListTest, NullSlotsWhenAllowed)
{
    std::vector<int> log;
    Utils::ManagedList<Tracked> list(true, true);
    list.Add(nullptr);
    list.Add(new Tracked(7, log));
    list.Resize(4);
    EXPECT_EQ((std::vector<int>{-1, 7, -1, -1}), Ids(list));

    list.Resize(0);
    EXPECT_EQ((std::vector<int>{7}), log);
}

TEST(ManagedListTest, NonOwningListDeletesNothing)
{
    std::vector<int> log;
    Tracked a(1, log);
    Tracked b(2, log);
    {
        Utils::ManagedList<Tracked> list(false);
        list.Add(&a);
        list.Add(&b);
        list.DeleteRange(0, 1);
        EXPECT_EQ(&b, list[0]);
    }
    EXPECT_TRUE(log.empty());
}

TEST(ManagedListTest, GuardsHalt)
{
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.Add(new std::string("x"));
            list[1];
        },
        ::testing::ExitedWithCode(3), Literal("index < m_list.size()"));
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.Add(new std::string("x"));
            list.DeleteRange(1, 1);
        },
        ::testing::ExitedWithCode(3), Literal("from < m_list.size()"));
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.Add(new std::string("x"));
            list.DeleteRange(0, 2);
        },
        ::testing::ExitedWithCode(3), Literal("to <= m_list.size()"));
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.Add(new std::string("x"));
            list.Add(new std::string("y"));
            list.DeleteRange(1, 0);
        },
        ::testing::ExitedWithCode(3), Literal("from <= to"));
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.DoDelete(0, true);
        },
        ::testing::ExitedWithCode(3), Literal("IndexInRange(index)"));
}

TEST(ManagedListTest, NullItemsHaltUnlessAllowed)
{
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.Add(nullptr);
        },
        ::testing::ExitedWithCode(3), Literal("item != 0"));
    EXPECT_EXIT(
        {
            Utils::ManagedList<std::string> list;
            list.Resize(2);
        },
        ::testing::ExitedWithCode(3), Literal("m_allowNullItems"));
}

} // namespace
