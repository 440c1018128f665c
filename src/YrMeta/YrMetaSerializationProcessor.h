#pragma once
#include <cstdint>
#include <string>
#include "ESS/Assert.h"
#include "ESS/Exception.h"
#include "Utils/ByteArray.h"
#include "YrMeta/SmartEnum.h"
#include "YrMeta/YrMetaDispatcher.h"
#include "YrMeta/YrMetaInfo.h"

namespace YrMeta
{

// The kind (type number) of each handler's value type; IArray stands for a vector.
template <class T>
struct FieldKindOf;

#define YRMETA_DETAIL_KIND_OF(T, kind, TNumber)                                                              \
    template <>                                                                                              \
    struct FieldKindOf<T>                                                                                    \
    {                                                                                                        \
        static const int c_kind = FieldType::kind;                                                           \
        /* how the type number is read in front of a value of this kind */                                   \
        typedef TNumber TypeNumber;                                                                          \
    };

YRMETA_DETAIL_KIND_OF(bool, tBool, std::uint8_t)
YRMETA_DETAIL_KIND_OF(std::uint8_t, tUInt8, std::int32_t)
YRMETA_DETAIL_KIND_OF(short, tShort, std::int32_t)
YRMETA_DETAIL_KIND_OF(int, tInt, std::int32_t)
YRMETA_DETAIL_KIND_OF(std::int64_t, tInt64, std::int32_t)
YRMETA_DETAIL_KIND_OF(std::uint16_t, tUInt16, std::int32_t)
YRMETA_DETAIL_KIND_OF(std::uint32_t, tUInt32, std::int32_t)
YRMETA_DETAIL_KIND_OF(std::uint64_t, tUInt64, std::int32_t)
YRMETA_DETAIL_KIND_OF(float, tFloat, std::int32_t)
YRMETA_DETAIL_KIND_OF(double, tDouble, std::int32_t)
YRMETA_DETAIL_KIND_OF(std::string, tString, std::int32_t)
YRMETA_DETAIL_KIND_OF(std::wstring, tWString, std::uint8_t)
YRMETA_DETAIL_KIND_OF(Utils::ByteArray, tByteArray, std::uint8_t)
YRMETA_DETAIL_KIND_OF(EnumValue, tEnum, std::uint8_t)
YRMETA_DETAIL_KIND_OF(SmartEnum, tSmartEnum, std::uint8_t)
YRMETA_DETAIL_KIND_OF(IArray, tVector, std::uint8_t)

#undef YRMETA_DETAIL_KIND_OF

// The reader's check of a type number against the kind expected at this place of the walk.
template <class T>
void TypeCheckup(int typeRead)
{
    const int expected = FieldKindOf<T>::c_kind;
    if (typeRead != expected)
    {
        ESS_THROW_MSG(ESS::Exception, L"Another type expected: expected: " + std::to_wstring(expected) +
                                          L", actual: " + std::to_wstring(typeRead));
    }
}

// Selects the writing processor over a format's serializer.
template <class TSerializer>
class YrSerializer
{
};

// Selects the reading processor over a format's deserializer.
template <class TDeserializer>
class YrDeserializer
{
};

template <class T>
class YrMetaSerializationProcessor;

// Writes each field as its type number followed by its value.
template <class TSerializer>
class YrMetaSerializationProcessor<YrSerializer<TSerializer>>
{
public:
    explicit YrMetaSerializationProcessor(TSerializer& s) : m_s(s) {}

    void Process(bool* p)
    {
        PutKind<bool>();
        m_s.PutUInt8(*p ? 1 : 0);
    }
    void Process(std::uint8_t* p)
    {
        PutKind<std::uint8_t>();
        m_s.PutUInt8(*p);
    }
    void Process(short* p)
    {
        PutKind<short>();
        m_s.PutInt16(*p);
    }
    void Process(int* p)
    {
        PutKind<int>();
        m_s.PutInt32(*p);
    }
    void Process(std::int64_t* p)
    {
        PutKind<std::int64_t>();
        m_s.PutInt64(*p);
    }
    void Process(std::uint16_t* p)
    {
        PutKind<std::uint16_t>();
        m_s.PutUInt16(*p);
    }
    void Process(std::uint32_t* p)
    {
        PutKind<std::uint32_t>();
        m_s.PutUInt32(*p);
    }
    void Process(std::uint64_t* p)
    {
        PutKind<std::uint64_t>();
        m_s.PutUInt64(*p);
    }
    void Process(float* p)
    {
        PutKind<float>();
        m_s.PutFloat(*p);
    }
    void Process(double* p)
    {
        PutKind<double>();
        m_s.PutDouble(*p);
    }
    void Process(std::string* p)
    {
        PutKind<std::string>();
        m_s.PutRaw(p->data(), p->size());
    }
    void Process(std::wstring* p)
    {
        PutKind<std::wstring>();
        m_s.PutWString(*p);
    }
    void Process(Utils::ByteArray* p)
    {
        PutKind<Utils::ByteArray>();
        // An empty array and one without a block look the same on the wire.
        const std::uint64_t size = p->Size();
        ESS_ASSERT(size <= 0xFFFFFFFFu);
        m_s.PutUInt32(static_cast<std::uint32_t>(size));
        if (size > 0)
        {
            const Utils::ByteArray& data = *p;
            m_s.PutRaw(data.Data(), size);
        }
    }
    void Process(EnumValue* p)
    {
        PutKind<EnumValue>();
        m_s.PutInt32(p->value);
    }
    void Process(SmartEnum* p)
    {
        PutKind<SmartEnum>();
        m_s.PutInt32(p->CastToInt());
    }

    void VectorBegin(DispatchedVector& v)
    {
        ESS_ASSERT(v.m_vector);
        PutKind<IArray>();
        const std::uint64_t size = v.m_vector->Size();
        ESS_ASSERT(size <= 0xFFFFFFFFu);
        m_s.PutUInt32(static_cast<std::uint32_t>(size));
    }

private:
    template <class T>
    void PutKind()
    {
        m_s.PutTypeNumber(static_cast<std::uint8_t>(FieldKindOf<T>::c_kind));
    }

    TSerializer& m_s;
};

// Reads each field's type number, checks it against the field's kind and reads the value.
// A field is changed only when its whole value has been read.
template <class TDeserializer>
class YrMetaSerializationProcessor<YrDeserializer<TDeserializer>>
{
public:
    explicit YrMetaSerializationProcessor(TDeserializer& d) : m_d(d) {}

    void Process(bool* p)
    {
        CheckKind<bool>();
        *p = Read<std::uint8_t>() != 0;
    }
    void Process(std::uint8_t* p) { ReadField(p); }
    void Process(short* p) { ReadField(p); }
    void Process(int* p) { ReadField(p); }
    void Process(std::int64_t* p) { ReadField(p); }
    void Process(std::uint16_t* p) { ReadField(p); }
    void Process(std::uint32_t* p) { ReadField(p); }
    void Process(std::uint64_t* p) { ReadField(p); }
    void Process(float* p) { ReadField(p); }
    void Process(double* p) { ReadField(p); }
    void Process(std::string* p) { ReadField(p); }
    void Process(std::wstring* p) { ReadField(p); }

    void Process(Utils::ByteArray* p)
    {
        CheckKind<Utils::ByteArray>();
        const std::uint32_t size = Read<std::uint32_t>();
        if (size == 0)
        {
            *p = Utils::ByteArray();
            return;
        }
        Utils::ByteArray data;
        m_d.Get(data, size);
        *p = data;
    }

    void Process(EnumValue* p)
    {
        CheckKind<EnumValue>();
        p->value = Read<std::int32_t>();
    }

    void Process(SmartEnum* p)
    {
        CheckKind<SmartEnum>();
        const std::int32_t value = Read<std::int32_t>();
        p->FromInt(EnumValue(value), true);
    }

    void VectorBegin(DispatchedVector& v)
    {
        ESS_ASSERT(v.m_vector);
        CheckKind<IArray>();
        const std::uint32_t size = Read<std::uint32_t>();
        if (size != 0 && !v.m_mayHoldElements)
        {
            MetaDispatcher::ThrowTooDeep();
        }
        // Every element of a simple kind takes at least two bytes (type number and value) and
        // an object element is taken to need one: a count the rest of the input cannot hold is
        // refused before the vector is grown to it.
        const FieldType& type = v.m_pField->m_type;
        const bool simple = type.m_elementType && FieldType::TypeIsSimple(type.m_elementType->m_kind);
        const std::uint64_t minBytes = static_cast<std::uint64_t>(size) * (simple ? 2 : 1);
        if (minBytes > m_d.BytesLeft())
        {
            m_d.ThrowNotEnoughBytes(type.m_typeText);
        }
        v.m_vector->Resize(size);
    }

private:
    template <class T>
    void CheckKind()
    {
        TypeCheckup<T>(static_cast<int>(Read<typename FieldKindOf<T>::TypeNumber>()));
    }

    template <class T>
    T Read()
    {
        T value;
        m_d.Read(value);
        return value;
    }

    template <class T>
    void ReadField(T* p)
    {
        CheckKind<T>();
        m_d.Read(*p);
    }

    TDeserializer& m_d;
};

} // namespace YrMeta
