#pragma once
#include <string>
#include "ESS/Assert.h"
#include "YrMeta/SmartEnum.h"
#include "YrMeta/YrMetaInfo.h"

namespace YrMeta
{

enum CallKind
{
    CallForField,
    CallForArrItem,
};

// Turns a field kind and a value's address into the call of the processor's handler for that
// kind. A processor offers Process(T*) for every simple kind, Process(EnumValue*) for plain
// enumerations and Process(SmartEnum*); one handler serves fields and vector elements alike.
template <class Processor, CallKind TCall>
class TypedCall
{
public:
    explicit TypedCall(Processor& proc) : m_proc(proc) {}

    void Dispatch(FieldType::Type kind, void* p) const
    {
        switch (kind)
        {
        case FieldType::tBool:
            m_proc.Process(static_cast<bool*>(p));
            return;
        case FieldType::tUInt8:
            m_proc.Process(static_cast<std::uint8_t*>(p));
            return;
        case FieldType::tShort:
            m_proc.Process(static_cast<short*>(p));
            return;
        case FieldType::tInt:
            m_proc.Process(static_cast<int*>(p));
            return;
        case FieldType::tInt64:
            m_proc.Process(static_cast<std::int64_t*>(p));
            return;
        case FieldType::tUInt16:
            m_proc.Process(static_cast<std::uint16_t*>(p));
            return;
        case FieldType::tUInt32:
            m_proc.Process(static_cast<std::uint32_t*>(p));
            return;
        case FieldType::tUInt64:
            m_proc.Process(static_cast<std::uint64_t*>(p));
            return;
        case FieldType::tFloat:
            m_proc.Process(static_cast<float*>(p));
            return;
        case FieldType::tDouble:
            m_proc.Process(static_cast<double*>(p));
            return;
        case FieldType::tString:
            m_proc.Process(static_cast<std::string*>(p));
            return;
        case FieldType::tWString:
            m_proc.Process(static_cast<std::wstring*>(p));
            return;
        case FieldType::tByteArray:
            m_proc.Process(static_cast<Utils::ByteArray*>(p));
            return;
        case FieldType::tEnum:
            // A plain enumeration member has the size of int (checked when it is added).
            m_proc.Process(static_cast<EnumValue*>(p));
            return;
        case FieldType::tSmartEnum:
            m_proc.Process(static_cast<SmartEnum*>(p));
            return;
        default:
            break;
        }
        ESS_HALT("Can't dispatch type " + std::to_string(static_cast<int>(kind)));
    }

private:
    Processor& m_proc;
};

template <class Processor>
using TypedCallField = TypedCall<Processor, CallForField>;
template <class Processor>
using TypedCallArr = TypedCall<Processor, CallForArrItem>;

// The handler tables of one walk and how deep the walk has gone.
template <class Processor>
struct TypedCallContext
{
    explicit TypedCallContext(Processor& proc) : m_field(proc), m_arr(proc), m_depth(0) {}

    TypedCallField<Processor> m_field;
    TypedCallArr<Processor> m_arr;
    int m_depth;
};

} // namespace YrMeta
