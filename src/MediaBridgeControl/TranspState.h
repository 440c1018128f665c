#pragma once
#include <cstdint>
#include <string>
#include "Utils/ComparableT.h"
#include "YrMeta/SmartEnum.h"

namespace MediaBridgeControl
{

// The state of a media-bridge transport: a smart enumeration that also carries why the
// transport is in it. Only the value takes part in comparisons; the texts are information.
class TranspState : public YrMeta::SmartEnum, public Utils::ComparableT<TranspState>
{
public:
    enum Value
    {
        Disconnected = 0, // no peer; every transport starts here
        Connected = 1,    // a peer is attached and data can flow
        FatalError = 2,   // the transport cannot work any more
    };

    static const YrMeta::EnumRawInfo& StaticRawInfo();

    TranspState() : m_valueIndex(0) {}
    TranspState(Value value, const std::wstring& reason = std::wstring(),
                const std::wstring& details = std::wstring())
        : m_valueIndex(0), m_reason(reason), m_details(details)
    {
        FromInt(YrMeta::EnumValue(static_cast<int>(value)), true);
    }
    // Throws ConvertionException for an integer outside the table.
    explicit TranspState(const YrMeta::EnumValue& value) : m_valueIndex(0) { FromInt(value, true); }

    TranspState(const TranspState& other) = default;
    TranspState(TranspState&& other) = default;
    TranspState& operator=(const TranspState& other) = default;
    TranspState& operator=(TranspState&& other) = default;
    ~TranspState() override = default;

    void SetValueIndex(std::uint64_t val) override
    {
        ESS_ASSERT(RawInfo().IsValidIndex(val));
        m_valueIndex = val;
    }
    std::uint64_t ValueIndex() const override { return m_valueIndex; }
    const YrMeta::EnumRawInfo& RawInfo() const override { return StaticRawInfo(); }

    Value Get() const { return static_cast<Value>(CastToInt()); }
    bool Is(Value value) const { return CastToInt() == static_cast<int>(value); }

    const std::wstring& Reason() const { return m_reason; }
    const std::wstring& Details() const { return m_details; }
    void SetReason(const std::wstring& reason) { m_reason = reason; }
    void SetDetails(const std::wstring& details) { m_details = details; }

    // Value and both texts at once.
    void Set(Value value, const std::wstring& reason = std::wstring(),
             const std::wstring& details = std::wstring())
    {
        *this = TranspState(value, reason, details);
    }

    // Comparisons with a bare value, by value only.
    friend bool operator==(const TranspState& a, Value b) { return a.Is(b); }
    friend bool operator!=(const TranspState& a, Value b) { return !a.Is(b); }

private:
    std::uint64_t m_valueIndex;
    std::wstring m_reason;  // why the transport is in this state; empty when it came about normally
    std::wstring m_details; // further details (statistics of the channel adapter)
};

} // namespace MediaBridgeControl
