#pragma once
#include <cstdint>
#include <string>
#include <boost/preprocessor/seq/for_each.hpp>
#include <boost/preprocessor/seq/size.hpp>
#include <boost/preprocessor/stringize.hpp>
#include <boost/preprocessor/tuple/elem.hpp>
#include <boost/preprocessor/variadic/to_seq.hpp>
#include "ESS/Assert.h"
#include "ESS/Exception.h"
#include "Utils/ComparableT.h"

namespace YrMeta
{

// The constant table of one enumeration: names[i] belongs to values[i].
struct EnumRawInfo
{
    const char* const* names;
    const int* values;
    std::uint64_t count;

    bool IsValidIndex(std::uint64_t index) const { return index < count; }
};

// The integer form of a value of any enumeration.
struct EnumValue
{
    int value;

    EnumValue(int v) : value(v) {}
};

// Base of every smart enumeration: a value index into a static table of names and integers.
class SmartEnum
{
public:
    ESS_DECLARE_EXCEPTION(ConvertionException, ::ESS::Exception);

    virtual void SetValueIndex(std::uint64_t val) = 0;
    virtual std::uint64_t ValueIndex() const = 0;
    virtual ~SmartEnum() = default;
    virtual const EnumRawInfo& RawInfo() const = 0;

    int CastToInt() const;
    std::string ToString() const;

    // Set from an integer or a name of the table; a missing one throws ConvertionException
    // with throwIfMissing, else gives false and leaves the value as it was.
    bool FromInt(const EnumValue& value, bool throwIfMissing);
    bool FromString(const std::string& text, bool throwIfMissing);

    // By integer, not by table position: -1, 0 or 1.
    int Compare(const SmartEnum& other) const;

    [[noreturn]] static void ThrowConvertionException(const ESS::CppLocation& location,
                                                      const std::wstring& message);

protected:
    SmartEnum() = default;
    SmartEnum(const SmartEnum&) = default;
    SmartEnum& operator=(const SmartEnum&) = default;
};

} // namespace YrMeta

#define YRMETA_ENUM_DETAIL_CONSTANT(r, data, pair)                                                           \
    BOOST_PP_TUPLE_ELEM(2, 0, pair) = BOOST_PP_TUPLE_ELEM(2, 1, pair),
#define YRMETA_ENUM_DETAIL_NAME(r, data, pair) BOOST_PP_STRINGIZE(BOOST_PP_TUPLE_ELEM(2, 0, pair)),
#define YRMETA_ENUM_DETAIL_INT(r, data, pair) BOOST_PP_TUPLE_ELEM(2, 1, pair),

#define YRMETA_ENUM_DETAIL(Name, seq)                                                                        \
    class Name : public ::YrMeta::SmartEnum, public ::Utils::ComparableT<Name>                               \
    {                                                                                                        \
    public:                                                                                                  \
        enum Value                                                                                           \
        {                                                                                                    \
            BOOST_PP_SEQ_FOR_EACH(YRMETA_ENUM_DETAIL_CONSTANT, _, seq)                                       \
        };                                                                                                   \
                                                                                                             \
        static const ::YrMeta::EnumRawInfo& StaticRawInfo()                                                  \
        {                                                                                                    \
            static const char* const c_names[] = {BOOST_PP_SEQ_FOR_EACH(YRMETA_ENUM_DETAIL_NAME, _, seq)};   \
            static const int c_values[] = {BOOST_PP_SEQ_FOR_EACH(YRMETA_ENUM_DETAIL_INT, _, seq)};           \
            static const ::YrMeta::EnumRawInfo c_info = {c_names, c_values, BOOST_PP_SEQ_SIZE(seq)};         \
            return c_info;                                                                                   \
        }                                                                                                    \
                                                                                                             \
        void SetValueIndex(std::uint64_t val) override                                                       \
        {                                                                                                    \
            ESS_ASSERT(RawInfo().IsValidIndex(val));                                                         \
            m_valueIndex = val;                                                                              \
        }                                                                                                    \
        std::uint64_t ValueIndex() const override { return m_valueIndex; }                                   \
        ~Name() override = default;                                                                          \
        const ::YrMeta::EnumRawInfo& RawInfo() const override { return StaticRawInfo(); }                    \
                                                                                                             \
        Name(Value value) : m_valueIndex(0) { FromInt(::YrMeta::EnumValue(static_cast<int>(value)), true); } \
        explicit Name(const ::YrMeta::EnumValue& value) : m_valueIndex(0) { FromInt(value, true); }          \
        Name(const Name& other) : ::YrMeta::SmartEnum(other), m_valueIndex(other.m_valueIndex) {}            \
        Name& operator=(const Name& other)                                                                   \
        {                                                                                                    \
            m_valueIndex = other.m_valueIndex;                                                               \
            return *this;                                                                                    \
        }                                                                                                    \
                                                                                                             \
    private:                                                                                                 \
        std::uint64_t m_valueIndex;                                                                          \
    }

// Declares the smart enumeration class Name with its values in table order, each given as
// (Enumerator, integer):  YRMETA_SMART_ENUM(SendDataRes, (Failed, 0), (Ok, 1));
// The class has the plain enumeration Name::Value for constants (Name::Ok), is built from a
// constant or a YrMeta::EnumValue (throwing when the integer is not in the table) and
// compares by integer.
#define YRMETA_SMART_ENUM(Name, ...) YRMETA_ENUM_DETAIL(Name, BOOST_PP_VARIADIC_TO_SEQ(__VA_ARGS__))
