#include <gtest/gtest.h>
#include "MediaBridgeControl/IMbcTransp.h"
#include "MediaBridgeControl/TranspState.h"

using MediaBridgeControl::TranspState;

TEST(TranspStateTest, DefaultIsDisconnectedWithoutTexts)
{
    const TranspState st;
    EXPECT_EQ("Disconnected", st.ToString());
    EXPECT_EQ(0, st.CastToInt());
    EXPECT_TRUE(st.Reason().empty());
    EXPECT_TRUE(st.Details().empty());
}

TEST(TranspStateTest, TextFormAndIntegersFollowTheTable)
{
    EXPECT_EQ("Connected", TranspState(TranspState::Connected).ToString());
    EXPECT_EQ("FatalError", TranspState(TranspState::FatalError, L"why", L"more").ToString());
    EXPECT_EQ(1, TranspState(YrMeta::EnumValue(1)).CastToInt());
    EXPECT_EQ(2, TranspState(YrMeta::EnumValue(2)).CastToInt());

    TranspState st;
    EXPECT_TRUE(st.FromString("FatalError", false));
    EXPECT_EQ(TranspState::FatalError, st.Get());
    EXPECT_FALSE(st.FromString("Broken", false));
    EXPECT_EQ(TranspState::FatalError, st.Get());
}

TEST(TranspStateTest, ComparesByValueOnly)
{
    const TranspState a(TranspState::Connected, L"one", L"x");
    const TranspState b(TranspState::Connected, L"two", L"y");
    const TranspState c(TranspState::FatalError, L"one", L"x");
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(a != c);
    EXPECT_TRUE(a < c);
    EXPECT_TRUE(a == TranspState::Connected);
    EXPECT_TRUE(c != TranspState::Connected);
}

TEST(TranspStateTest, CopyAndAssignmentCarryValueAndBothTexts)
{
    const TranspState src(TranspState::FatalError, L"sock error: reset", L"stats");
    TranspState copy(src);
    EXPECT_EQ(TranspState::FatalError, copy.Get());
    EXPECT_EQ(L"sock error: reset", copy.Reason());
    EXPECT_EQ(L"stats", copy.Details());

    copy = TranspState(TranspState::Connected);
    EXPECT_EQ(TranspState::Connected, copy.Get());
    EXPECT_TRUE(copy.Reason().empty());
    EXPECT_TRUE(copy.Details().empty());

    TranspState moved;
    moved = TranspState(TranspState::Disconnected, L"Disconnected by user", L"d");
    EXPECT_EQ(TranspState::Disconnected, moved.Get());
    EXPECT_EQ(L"Disconnected by user", moved.Reason());
    EXPECT_EQ(L"d", moved.Details());

    // The source keeps its own texts.
    EXPECT_EQ(L"sock error: reset", src.Reason());
}

TEST(TranspStateTest, IntegerOutsideTheTableIsRefused)
{
    for (int bad : {-1, 3, 100})
    {
        try
        {
            TranspState st{YrMeta::EnumValue(bad)};
            ADD_FAILURE() << "accepted " << bad << " as " << st.ToString();
        }
        catch (const YrMeta::SmartEnum::ConvertionException& e)
        {
            const std::string text = e.what();
            EXPECT_NE(std::string::npos, text.find("Enum (")) << text;
            EXPECT_NE(std::string::npos, text.find(") value " + std::to_string(bad) + " is not valid."))
                << text;
            EXPECT_NE(std::string::npos, text.find("TranspState")) << text;
        }
    }

    TranspState st(TranspState::Connected, L"kept");
    EXPECT_FALSE(st.FromInt(YrMeta::EnumValue(7), false));
    EXPECT_EQ(TranspState::Connected, st.Get());
    EXPECT_EQ(L"kept", st.Reason());
}
