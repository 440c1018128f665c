#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>
#include <boost/function.hpp>
#include "ESS/Assert.h"
#include "Utils/IBasicInterface.h"
#include "Utils/ManagedList.h"

namespace Utils
{

// Special states that widen a transition: any from-state, or a target the handler picks
// itself, or no change at all.
struct FsmSpecState
{
    enum EnumType
    {
        _AnyState_ = 0,     // from-state only: matches every current state
        _DynamicState_ = 1, // target only: the handler calls SetState (or not)
        _SameState_ = 2,    // target only: the state stays
    };

    static bool VerifyFsmEnum(int val) { return val >= _AnyState_ && val <= _SameState_; }
    static const char* FsmEnumToString(EnumType val);
};

// Root of every event. Events are plain values passed by reference.
struct FsmBaseEvent
{
    // The class name without its namespaces ("EvConnectCmd"); computed once per class.
    virtual std::wstring ToString() const;
    // {"typename":"<the same name>"}
    virtual std::wstring ToJson() const;
    virtual ~FsmBaseEvent() = default;
};

// Names one transition table of a machine.
struct FsmTable
{
    int32_t m_index;

    explicit FsmTable(int32_t index = 0) : m_index(index) {}

    int32_t Index() const
    {
        ESS_ASSERT(m_index >= 0);
        return m_index;
    }
};

namespace FsmDetail
{
// Readable class name with namespaces ("SessTranspLayer::StlConnectionImpl::EvConnectCmd").
std::string TypeName(const std::type_info& ti);
} // namespace FsmDetail

// Table-driven state machine. TEvent is the owner's event base (derived from FsmBaseEvent),
// TState the owner's plain state enumeration. Single-threaded and not re-entrant: events that
// arise inside a handler must be posted, not raised directly.
template <class TEvent, class TState>
class Fsm
{
public:
    using ChangeStateHook = boost::function<void(TState oldState, TState newState)>;
    using NoTransitionHook = boost::function<void(const TEvent& ev)>;
    using StateToText = boost::function<std::string(TState state)>;

    // A from-state or a target as a direction stores it.
    class State
    {
    public:
        State(TState state) : m_isSpec(false), m_spec(FsmSpecState::_AnyState_), m_fsmStates(1, state) {}

        State(FsmSpecState::EnumType val) : m_isSpec(true), m_spec(val)
        {
            ESS_ASSERT(FsmSpecState::VerifyFsmEnum(val));
        }

        bool IsSpec() const { return m_isSpec; }
        bool FsmStateSingle() const { return !m_isSpec && m_fsmStates.size() == 1; }

        TState FsmState() const
        {
            ESS_ASSERT(FsmStateSingle());
            return m_fsmStates[0];
        }

        FsmSpecState::EnumType SpecState() const
        {
            ESS_ASSERT(m_isSpec);
            return m_spec;
        }

        bool StateIn(TState state) const
        {
            ESS_ASSERT(m_fsmStates.size() > 0);
            for (TState s : m_fsmStates)
                if (static_cast<int64_t>(s) == static_cast<int64_t>(state))
                    return true;
            return false;
        }

        // Only a dynamic target lets a running handler choose the state.
        bool CanSwitchTo(TState /*newState*/) const
        {
            return m_isSpec && m_spec == FsmSpecState::_DynamicState_;
        }

        friend bool operator==(const State& a, const State& b)
        {
            if (a.m_isSpec != b.m_isSpec)
                return false;
            if (a.m_isSpec)
                return a.m_spec == b.m_spec;
            if (a.m_fsmStates.size() != b.m_fsmStates.size())
                return false;
            for (size_t i = 0; i < a.m_fsmStates.size(); ++i)
                if (static_cast<int64_t>(a.m_fsmStates[i]) != static_cast<int64_t>(b.m_fsmStates[i]))
                    return false;
            return true;
        }
        friend bool operator!=(const State& a, const State& b) { return !(a == b); }

    private:
        bool m_isSpec;
        FsmSpecState::EnumType m_spec;
        std::vector<TState> m_fsmStates;
    };

    // One transition ("direction").
    class IDir : public IBasicInterface
    {
    public:
        virtual const State& Begin() const = 0;
        virtual const State& End() const = 0;
        virtual const std::string& EventType() const = 0;
        virtual bool IsAnyEvent() const = 0;
        virtual void Do(const TEvent& ev) const = 0;
        // Exact type match; a subclass of the registered event does not match.
        virtual bool SameEvent(const std::type_info& ti) const = 0;
    };

    Fsm(TState initial, const NoTransitionHook& noTransition = NoTransitionHook(),
        const ChangeStateHook& changeState = ChangeStateHook(),
        const StateToText& stateToText = StateToText())
        : m_state(initial), m_closed(false), m_changeStateHook(changeState), m_noTransitionHook(noTransition),
          m_stateToText(stateToText)
    {
    }

    Fsm(const Fsm&) = delete;
    Fsm& operator=(const Fsm&) = delete;

    // One direction for events of class TEv. handler is called with const TEv& (a handler that
    // takes the event base serves several events).
    template <class TEv, class THandler>
    void Add(const State& from, const State& to, const THandler& handler)
    {
        static_assert(std::is_base_of<TEvent, TEv>::value,
                      "the event must derive from the machine's event base");
        ESS_ASSERT(!m_closed);
        if (m_tables.IsEmpty())
            m_tables.Add(std::make_unique<Table>());
        Table& t = *m_tables[m_tables.Size() - 1];

        auto dir = std::make_unique<Dir<TEv, THandler>>(from, to, handler);
        for (uint64_t i = 0; i < t.Size(); ++i)
        {
            const IDir& other = *t[i];
            if (other.EventType() == dir->EventType() && other.Begin() == dir->Begin())
                ESS_HALT("Dublicate [ev, state] as [" + FsmDetail::TypeName(typeid(TEv)) + ", " +
                         StateText(from) + "]");
        }
        t.Add(std::move(dir));
    }

    // The same with a member function of the owner.
    template <class TEv, class TOwner, class TArg>
    void Add(const State& from, const State& to, TOwner* owner, void (TOwner::*fn)(const TArg&))
    {
        ESS_ASSERT(owner);
        Add<TEv>(from, to, [owner, fn](const TArg& ev) { (owner->*fn)(ev); });
    }

    void DoEvent(const TEvent& ev, const FsmTable& table = FsmTable(0))
    {
        if (m_callEndState)
            ESS_HALT("FSM recursive!");
        if (!m_closed)
        {
            ESS_ASSERT(m_tables.Size() > 0);
            m_closed = true;
        }

        const std::type_info& evTi = typeid(ev);
        const std::string_view evType(evTi.name());
        ESS_ASSERT(evType != typeid(TEvent).name());

        const IDir* chosen = FindDir(*m_tables[static_cast<uint64_t>(table.Index())], evTi);
        if (chosen == nullptr)
        {
            if (m_noTransitionHook)
                m_noTransitionHook(ev);
            return;
        }

        const TState prevState = m_state;
        RunHandler(*chosen, ev);
        EnterEndState(chosen->End(), prevState);
    }

    void SetState(TState newState)
    {
        if (m_callEndState)
            ESS_ASSERT(m_callEndState->CanSwitchTo(newState));
        if (newState == m_state)
            return;
        const TState old = m_state;
        m_state = newState;
        if (m_changeStateHook)
            m_changeStateHook(old, newState);
    }

    TState GetState() const { return m_state; }

    // A special state's name, else the state-to-text result or the state's number.
    std::string StateText(const State& s) const
    {
        if (s.IsSpec())
            return FsmSpecState::FsmEnumToString(s.SpecState());
        if (m_stateToText)
            return m_stateToText(s.FsmState());
        return std::to_string(static_cast<int64_t>(s.FsmState()));
    }

private:
    using Table = ManagedList<IDir>;

    enum CmpResult
    {
        c_rankNone = 0,
        c_rankAnyState = 3,
        c_rankExact = 4,
    };

    template <class TEv, class THandler>
    class Dir : public IDir
    {
    public:
        Dir(const State& begin, const State& end, const THandler& handler)
            : m_eventType(typeid(TEv).name()), m_begin(begin), m_end(end), m_handler(handler)
        {
            if (begin.IsSpec())
                ESS_ASSERT(begin.SpecState() == FsmSpecState::_AnyState_);
            else
                ESS_ASSERT(begin.FsmStateSingle());
            if (end.IsSpec())
                ESS_ASSERT(end.SpecState() != FsmSpecState::_AnyState_);
        }

        const State& Begin() const override { return m_begin; }
        const State& End() const override { return m_end; }
        const std::string& EventType() const override { return m_eventType; }
        bool IsAnyEvent() const override { return false; }
        void Do(const TEvent& ev) const override { m_handler(static_cast<const TEv&>(ev)); }
        bool SameEvent(const std::type_info& ti) const override { return ti == typeid(TEv); }

    private:
        std::string m_eventType;
        State m_begin;
        State m_end;
        THandler m_handler;
    };

    int Compare(const IDir& dir, const std::type_info& evTi) const
    {
        if (!dir.IsAnyEvent() && !dir.SameEvent(evTi))
            return c_rankNone;
        const State& begin = dir.Begin();
        if (!begin.IsSpec())
            return begin.StateIn(m_state) ? c_rankExact : c_rankNone;
        return c_rankAnyState;
    }

    // The direction for the event in the current state: an exact one at once, else the best
    // ranked; null when none fits.
    const IDir* FindDir(const Table& t, const std::type_info& evTi) const
    {
        ESS_ASSERT(!t.IsEmpty());
        const IDir* chosen = nullptr;
        int best = 0;
        for (uint64_t i = 0; i < t.Size(); ++i)
        {
            const IDir* dir = t[i];
            const int rank = Compare(*dir, evTi);
            if (rank == c_rankExact)
                return dir;
            if (rank > best)
            {
                best = rank;
                chosen = dir;
            }
        }
        return chosen;
    }

    // While the handler runs, its end state is recorded: it tells SetState what the handler may
    // choose and DoEvent that the machine is busy.
    void RunHandler(const IDir& dir, const TEvent& ev)
    {
        m_callEndState = std::make_unique<State>(dir.End());
        try
        {
            dir.Do(ev);
        }
        catch (...)
        {
            m_callEndState.reset();
            throw;
        }
        m_callEndState.reset();
    }

    // A fixed end state is entered now; the handler itself must not have moved the machine.
    void EnterEndState(const State& end, TState prevState)
    {
        if (!end.IsSpec())
        {
            ESS_ASSERT(GetState() == prevState);
            SetState(end.FsmState());
        }
        else if (end.SpecState() == FsmSpecState::_SameState_)
        {
            ESS_ASSERT(GetState() == prevState);
        }
    }

    TState m_state;
    bool m_closed;
    ChangeStateHook m_changeStateHook;
    NoTransitionHook m_noTransitionHook;
    ManagedList<Table> m_tables;
    std::unique_ptr<State> m_callEndState;
    StateToText m_stateToText;
};

} // namespace Utils
