#pragma once
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include "ESS/Assert.h"
#include "Platform/TypeName.h"
#include "iCore/MsgBase.h"

namespace iCore
{

namespace detail
{
inline std::string TypeText(const std::type_info& ti)
{
    return Platform::PrettyTypeName(Platform::RawTypeName(ti).c_str());
}
} // namespace detail

// Calls a member function of its target on the target's thread with a stored copy of the
// parameter (a value, a boost::shared_ptr, a function object with its captures...). The
// parameter is handed over by move unless the message keeps it; only a message that keeps its
// parameter may be copied.
template <class T, class TArg>
class MsgParam : public MsgBase
{
public:
    using Param = std::decay_t<TArg>;
    using Fn = void (T::*)(TArg);

    template <class P>
    MsgParam(T* pObj, Fn fn, P&& param, bool keepParam = false)
        : m_pObj(pObj), m_fn(fn), m_param(std::forward<P>(param)), m_keepParam(keepParam)
    {
    }

    MsgParam(const MsgParam& other)
        : MsgBase(other), m_pObj(other.m_pObj), m_fn(other.m_fn), m_param(other.m_param),
          m_keepParam(other.m_keepParam)
    {
        ESS_ASSERT(m_keepParam);
    }

    void Execute() override
    {
        // A by-value parameter gets the stored one moved in unless it must survive the call.
        if constexpr (std::is_lvalue_reference_v<TArg>)
            (m_pObj->*m_fn)(m_param);
        else if (m_keepParam)
            (m_pObj->*m_fn)(Param(m_param));
        else
            (m_pObj->*m_fn)(std::move(m_param));
    }

    std::string Info() const override
    {
        return "Msg " + detail::TypeText(typeid(T)) + " param " + detail::TypeText(typeid(Param));
    }

    const Param& GetParam() const { return m_param; }

private:
    T* m_pObj;
    Fn m_fn;
    Param m_param;
    bool m_keepParam;
};

// Calls a member function without parameters.
template <class T>
class MsgSimple : public MsgBase
{
public:
    using Fn = void (T::*)();

    MsgSimple(T* pObj, Fn fn) : m_pObj(pObj), m_fn(fn) {}

    void Execute() override { (m_pObj->*m_fn)(); }
    std::string Info() const override { return "Msg " + detail::TypeText(typeid(T)); }

private:
    T* m_pObj;
    Fn m_fn;
};

// Calls a function object (a lambda with its captures, a bound call).
template <class F>
class MsgFunctor : public MsgBase
{
public:
    explicit MsgFunctor(F f) : m_fn(std::move(f)) {}

    void Execute() override { m_fn(); }
    std::string Info() const override { return "Msg functor " + detail::TypeText(typeid(F)); }

private:
    F m_fn;
};

} // namespace iCore
