#include <stdexcept>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "Utils/Fsm.h"

// Mirrors the session connection's naming, so that the duplicate-direction text is checked
// with a nested, namespaced event class as the connection declares them.
namespace SessTranspLayer
{
struct StlConnectionImpl
{
    struct EvBase : Utils::FsmBaseEvent
    {
    };
    struct EvConnectCmd : EvBase
    {
    };
};
} // namespace SessTranspLayer

namespace
{

using Utils::FsmSpecState;

enum St
{
    stA,
    stB,
    stC,
};

struct EvBase : Utils::FsmBaseEvent
{
};
struct EvOne : EvBase
{
};
struct EvTwo : EvBase
{
};
struct EvOneSub : EvOne
{
};
struct EvData : EvBase
{
    explicit EvData(int v) : m_value(v) {}
    std::wstring ToString() const override { return L"EvData value: " + std::to_wstring(m_value); }
    int m_value;
};

using TestFsm = Utils::Fsm<EvBase, St>;
using ConnFsm = Utils::Fsm<SessTranspLayer::StlConnectionImpl::EvBase, St>;

// Records everything the machine reports, in order.
class Owner
{
public:
    explicit Owner(St initial = stA)
        : m_fsm(
              initial, [this](const EvBase& ev) { m_log.push_back("none:" + Narrow(ev.ToString())); },
              [this](St from, St to)
              { m_log.push_back("change:" + std::to_string(from) + "->" + std::to_string(to)); })
    {
    }

    static std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

    void Handler(const EvBase& ev) { m_log.push_back("handler:" + Narrow(ev.ToString())); }

    TestFsm m_fsm;
    std::vector<std::string> m_log;
};

using Log = std::vector<std::string>;

TEST(FsmTest, ExactStateBeatsAnyStateWhateverTheOrder)
{
    for (bool anyFirst : {true, false})
    {
        Owner o;
        std::string ran;
        auto exact = [&](const EvOne&) { ran = "exact"; };
        auto any = [&](const EvOne&) { ran = "any"; };
        if (anyFirst)
            o.m_fsm.Add<EvOne>(FsmSpecState::_AnyState_, FsmSpecState::_SameState_, any);
        o.m_fsm.Add<EvOne>(stA, FsmSpecState::_SameState_, exact);
        if (!anyFirst)
            o.m_fsm.Add<EvOne>(FsmSpecState::_AnyState_, FsmSpecState::_SameState_, any);

        o.m_fsm.DoEvent(EvOne());
        EXPECT_EQ("exact", ran) << "anyFirst " << anyFirst;

        o.m_fsm.SetState(stB);
        o.m_fsm.DoEvent(EvOne());
        EXPECT_EQ("any", ran) << "anyFirst " << anyFirst;
    }
}

TEST(FsmTest, FirstAnyStateDirectionWinsAmongEqualRanks)
{
    // Two _AnyState_ directions cannot be added for one event (duplicate), so the ranking among
    // equals is seen with a concrete direction of another state in front.
    Owner o(stC);
    std::string ran;
    o.m_fsm.Add<EvOne>(stA, FsmSpecState::_SameState_, [&](const EvOne&) { ran = "stA"; });
    o.m_fsm.Add<EvOne>(FsmSpecState::_AnyState_, stB, [&](const EvOne&) { ran = "any"; });
    o.m_fsm.DoEvent(EvOne());
    EXPECT_EQ("any", ran);
    EXPECT_EQ(stB, o.m_fsm.GetState());
}

TEST(FsmTest, ChangeStateHookRules)
{
    Owner o;
    o.m_fsm.Add<EvOne>(stA, stB, &o, &Owner::Handler);                          // concrete, differs
    o.m_fsm.Add<EvTwo>(stB, FsmSpecState::_SameState_, &o, &Owner::Handler);    // same state
    o.m_fsm.Add<EvOne>(stB, stB, &o, &Owner::Handler);                          // concrete, equal
    o.m_fsm.Add<EvTwo>(stA, FsmSpecState::_DynamicState_, &o, &Owner::Handler); // dynamic, no SetState

    o.m_fsm.DoEvent(EvOne());
    EXPECT_EQ((Log{"handler:EvOne", "change:0->1"}), o.m_log) << "hook once, after the handler";
    EXPECT_EQ(stB, o.m_fsm.GetState());

    o.m_log.clear();
    o.m_fsm.DoEvent(EvTwo());
    o.m_fsm.DoEvent(EvOne());
    EXPECT_EQ((Log{"handler:EvTwo", "handler:EvOne"}), o.m_log) << "no hook without a change";
    EXPECT_EQ(stB, o.m_fsm.GetState());

    o.m_fsm.SetState(stA);
    o.m_log.clear();
    o.m_fsm.DoEvent(EvTwo());
    EXPECT_EQ((Log{"handler:EvTwo"}), o.m_log);
    EXPECT_EQ(stA, o.m_fsm.GetState());
}

TEST(FsmTest, DynamicTargetLetsTheHandlerChooseEachChangeReported)
{
    Owner o;
    o.m_fsm.Add<EvOne>(stA, FsmSpecState::_DynamicState_,
                       [&](const EvOne&)
                       {
                           o.m_fsm.SetState(stB);
                           o.m_fsm.SetState(stC);
                           o.m_fsm.SetState(stC); // no change: no hook
                       });
    o.m_fsm.DoEvent(EvOne());
    EXPECT_EQ((Log{"change:0->1", "change:1->2"}), o.m_log);
    EXPECT_EQ(stC, o.m_fsm.GetState());
}

TEST(FsmTest, UnregisteredEventGoesToNoTransitionHook)
{
    Owner o;
    int handled = 0;
    o.m_fsm.Add<EvOne>(stA, stB, [&](const EvOne&) { ++handled; });
    o.m_fsm.Add<EvTwo>(stB, stC, [&](const EvTwo&) { ++handled; });

    o.m_fsm.DoEvent(EvOneSub()); // a subclass of a registered event is another type
    o.m_fsm.DoEvent(EvTwo());    // registered, but not for this state
    EXPECT_EQ(0, handled);
    EXPECT_EQ(stA, o.m_fsm.GetState());
    EXPECT_EQ((Log{"none:EvOneSub", "none:EvTwo"}), o.m_log);

    // Without a hook the event is dropped silently.
    TestFsm bare(stA);
    bare.Add<EvOne>(stA, stB, [](const EvOne&) {});
    bare.DoEvent(EvTwo());
    EXPECT_EQ(stA, bare.GetState());
}

TEST(FsmTest, HandlerGetsTheEventWithItsData)
{
    Owner o;
    int seen = 0;
    std::wstring text;
    o.m_fsm.Add<EvData>(FsmSpecState::_AnyState_, stC, [&](const EvData& ev) { seen = ev.m_value; });
    // A handler taking the event base serves the same event and sees the override.
    o.m_fsm.Add<EvData>(stB, FsmSpecState::_SameState_, [&](const EvBase& ev) { text = ev.ToString(); });

    o.m_fsm.DoEvent(EvData(42));
    EXPECT_EQ(42, seen);
    EXPECT_EQ(stC, o.m_fsm.GetState());

    o.m_fsm.SetState(stB);
    o.m_fsm.DoEvent(EvData(7));
    EXPECT_EQ(L"EvData value: 7", text);
}

TEST(FsmTest, ThrowingHandlerLeavesTheMachineUsable)
{
    Owner o;
    bool fail = true;
    o.m_fsm.Add<EvOne>(stA, FsmSpecState::_DynamicState_,
                       [&](const EvOne&)
                       {
                           o.m_fsm.SetState(stB);
                           if (fail)
                               throw std::runtime_error("boom");
                       });
    o.m_fsm.Add<EvTwo>(stB, stC, [&](const EvTwo&) {});

    EXPECT_THROW(o.m_fsm.DoEvent(EvOne()), std::runtime_error);
    EXPECT_EQ(stB, o.m_fsm.GetState()) << "the state stays as the handler left it";

    // The running-handler mark is gone: a new event runs and may change the state.
    o.m_fsm.DoEvent(EvTwo());
    EXPECT_EQ(stC, o.m_fsm.GetState());
    o.m_fsm.SetState(stA);
    fail = false;
    o.m_fsm.DoEvent(EvOne());
    EXPECT_EQ(stB, o.m_fsm.GetState());
}

TEST(FsmTest, EventNamesAndJson)
{
    EXPECT_EQ(L"EvOne", EvOne().ToString());
    EXPECT_EQ(L"EvOneSub", EvOneSub().ToString());
    EXPECT_EQ(L"EvConnectCmd", SessTranspLayer::StlConnectionImpl::EvConnectCmd().ToString());
    EXPECT_EQ(L"{\"typename\":\"EvConnectCmd\"}",
              SessTranspLayer::StlConnectionImpl::EvConnectCmd().ToJson());
    // ToJson keeps the class name even when ToString is overridden.
    EXPECT_EQ(L"{\"typename\":\"EvData\"}", EvData(1).ToJson());
    const EvBase& asBase = EvTwo();
    EXPECT_EQ(L"EvTwo", asBase.ToString());
}

TEST(FsmTest, StateTexts)
{
    TestFsm plain(stA);
    EXPECT_EQ("2", plain.StateText(stC));
    EXPECT_EQ("_AnyState_", plain.StateText(FsmSpecState::_AnyState_));
    EXPECT_EQ("_DynamicState_", plain.StateText(FsmSpecState::_DynamicState_));
    EXPECT_EQ("_SameState_", plain.StateText(FsmSpecState::_SameState_));

    TestFsm named(stA, TestFsm::NoTransitionHook(), TestFsm::ChangeStateHook(),
                  [](St s) { return std::string(s == stC ? "stC" : "other"); });
    EXPECT_EQ("stC", named.StateText(stC));
}

TEST(FsmTest, StateEquality)
{
    using State = TestFsm::State;
    EXPECT_EQ(State(stA), State(stA));
    EXPECT_NE(State(stA), State(stB));
    EXPECT_EQ(State(FsmSpecState::_SameState_), State(FsmSpecState::_SameState_));
    EXPECT_NE(State(FsmSpecState::_SameState_), State(FsmSpecState::_DynamicState_));
    // stA is 0 like _AnyState_, but a special and a concrete state never match.
    EXPECT_NE(State(stA), State(FsmSpecState::_AnyState_));
    EXPECT_TRUE(State(FsmSpecState::_DynamicState_).CanSwitchTo(stB));
    EXPECT_FALSE(State(FsmSpecState::_SameState_).CanSwitchTo(stB));
    EXPECT_FALSE(State(stB).CanSwitchTo(stB));
}

// Every contract violation halts the process (exit code 3) with the condition's text.
TEST(FsmDeathTest, ContractViolationsHalt)
{
    using ::testing::ExitedWithCode;

    EXPECT_EXIT(
        {
            Owner o;
            o.m_fsm.Add<EvOne>(stA, stB, [&](const EvOne&) { o.m_fsm.DoEvent(EvTwo()); });
            o.m_fsm.Add<EvTwo>(FsmSpecState::_AnyState_, stC, [](const EvTwo&) {});
            o.m_fsm.DoEvent(EvOne());
        },
        ExitedWithCode(3), "FSM recursive!");

    EXPECT_EXIT(
        {
            Owner o;
            o.m_fsm.Add<EvOne>(stA, stA, [&](const EvOne&) { o.m_fsm.SetState(stA); });
            o.m_fsm.DoEvent(EvOne());
        },
        ExitedWithCode(3), "m_callEndState->CanSwitchTo\\(newState\\)");

    EXPECT_EXIT(
        {
            Owner o;
            o.m_fsm.Add<EvOne>(stA, FsmSpecState::_SameState_, [&](const EvOne&) { o.m_fsm.SetState(stB); });
            o.m_fsm.DoEvent(EvOne());
        },
        ExitedWithCode(3), "m_callEndState->CanSwitchTo\\(newState\\)");

    EXPECT_EXIT(
        {
            Owner o;
            o.m_fsm.Add<EvOne>(stA, stB, [](const EvOne&) {});
            o.m_fsm.DoEvent(EvTwo());
            o.m_fsm.Add<EvTwo>(stA, stB, [](const EvTwo&) {});
        },
        ExitedWithCode(3), "!m_closed");

    EXPECT_EXIT(
        {
            using Impl = SessTranspLayer::StlConnectionImpl;
            ConnFsm fsm(stA);
            fsm.Add<Impl::EvConnectCmd>(stA, stB, [](const Impl::EvConnectCmd&) {});
            fsm.Add<Impl::EvConnectCmd>(stB, stC, [](const Impl::EvConnectCmd&) {}); // other state: fine
            fsm.Add<Impl::EvConnectCmd>(stA, stC, [](const Impl::EvConnectCmd&) {});
        },
        ExitedWithCode(3),
        "Dublicate \\[ev, state\\] as \\[SessTranspLayer::StlConnectionImpl::EvConnectCmd, 0\\]");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.Add<EvOne>(FsmSpecState::_AnyState_, stB, [](const EvOne&) {});
            fsm.Add<EvOne>(FsmSpecState::_AnyState_, stC, [](const EvOne&) {});
        },
        ExitedWithCode(3), "Dublicate \\[ev, state\\] as \\[\\(anonymousnamespace\\)::EvOne, _AnyState_\\]");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.Add<EvOne>(FsmSpecState::_SameState_, stB, [](const EvOne&) {});
        },
        ExitedWithCode(3), "begin.SpecState\\(\\) == FsmSpecState::_AnyState_");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.Add<EvOne>(stA, FsmSpecState::_AnyState_, [](const EvOne&) {});
        },
        ExitedWithCode(3), "end.SpecState\\(\\) != FsmSpecState::_AnyState_");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.DoEvent(EvOne());
        },
        ExitedWithCode(3), "m_tables.Size\\(\\) > 0");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.Add<EvOne>(stA, stB, [](const EvOne&) {});
            fsm.DoEvent(EvBase());
        },
        ExitedWithCode(3), "evType != typeid\\(TEvent\\).name\\(\\)");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.Add<EvOne>(stA, stB, [](const EvOne&) {});
            fsm.DoEvent(EvOne(), Utils::FsmTable(-1));
        },
        ExitedWithCode(3), "m_index >= 0");

    EXPECT_EXIT(
        {
            TestFsm fsm(stA);
            fsm.Add<EvOne>(stA, stB, [](const EvOne&) {});
            fsm.DoEvent(EvOne(), Utils::FsmTable(1));
        },
        ExitedWithCode(3), "index < m_list.size\\(\\)");

    EXPECT_EXIT({ TestFsm::State s(static_cast<FsmSpecState::EnumType>(3)); }, ExitedWithCode(3),
                "FsmSpecState::VerifyFsmEnum\\(val\\)");
}

} // namespace
