#pragma once
#include <cstdint>
#include <string>
#include "ESS/Exception.h"
#include "Utils/ByteArray.h"
#include "YrMeta/YrMetaDispatcher.h"
#include "YrMeta/YrMetaObject.h"
#include "YrMeta/YrMetaSerializationProcessor.h"

namespace YrMeta
{

// Appends msgpack values to the end of a byte array that the caller owns, in the forms of the
// original msgpack format: integers in their shortest form, floats as 0xCA/0xCB, texts and
// bytes as raws (0xA0.., 0xDA, 0xDB; never 0xD9, bin or ext).
class MsgPackSerializer
{
public:
    explicit MsgPackSerializer(Utils::ByteArray& out) : m_out(out) {}
    MsgPackSerializer(const MsgPackSerializer&) = delete;
    MsgPackSerializer& operator=(const MsgPackSerializer&) = delete;

    // A field kind as a positive fixint.
    void PutTypeNumber(std::uint8_t kind);

    void PutUInt8(std::uint8_t v);
    void PutUInt16(std::uint16_t v);
    void PutUInt32(std::uint32_t v);
    void PutUInt64(std::uint64_t v);
    void PutInt16(std::int16_t v);
    void PutInt32(std::int32_t v);
    void PutInt64(std::int64_t v);
    void PutFloat(float v);
    void PutDouble(double v);

    // Raw header and bytes; size must be below 2^32.
    void PutRaw(const void* p, std::uint64_t size);

    // The number of UTF-16 units, then each unit; characters above U+FFFF become surrogate
    // pairs, values that are no character become U+FFFD.
    void PutWString(const std::wstring& s);

private:
    void Append(const void* p, std::uint64_t size);

    Utils::ByteArray& m_out;
};

// Reads msgpack values from the start of a byte array that the caller owns and that outlives
// the reader; the array is never changed. Only the forms of the original msgpack format
// are accepted: any other lead byte (0xC1, 0xC4..0xC9, 0xD4..0xD9) and arrays or maps nested
// deeper than 32 are msgpack::parse_error "parse error"; a value of the wrong form or out of
// range for what is read is msgpack::type_error; input that ends before a complete value is an
// ESS::Exception "Not enough byte to deserialize " + the type being read. A read that fails
// leaves its destination unchanged.
class MsgPackDeserializer
{
public:
    explicit MsgPackDeserializer(const Utils::ByteArray& in);
    MsgPackDeserializer(const MsgPackDeserializer&) = delete;
    MsgPackDeserializer& operator=(const MsgPackDeserializer&) = delete;

    // Integers in any integer form whose value fits (a non-negative value in a signed form
    // counts as unsigned).
    void Read(std::uint8_t& v);
    void Read(std::uint16_t& v);
    void Read(std::uint32_t& v);
    void Read(std::uint64_t& v);
    void Read(std::int16_t& v);
    void Read(std::int32_t& v);
    void Read(std::int64_t& v);
    // Form 0xCA or 0xCB only; a float narrows a double, a double widens a float.
    void Read(float& v);
    void Read(double& v);
    // One raw value.
    void Read(std::string& v);
    // A unit count, then that many unsigned 16-bit units; surrogate pairs are joined.
    void Read(std::wstring& v);

    // Reads one raw value of exactly count bytes into dst: no value left is "Not enough byte
    // to deserialize raw bytes array", another length "Wrong size".
    void Get(void* dst, std::uint64_t count);
    // The same into a new block of count bytes, made only once the value has been checked.
    void Get(Utils::ByteArray& dst, std::uint64_t count);

    // Input bytes not consumed by the values read so far.
    std::uint64_t BytesLeft() const { return m_size - m_pos; }

    [[noreturn]] void ThrowNotEnoughBytes(const std::string& typeName) const;

    struct Value;

private:
    // Takes the next complete value; false (nothing consumed) when the input ends first.
    bool Next(Value& v);
    template <class T>
    void ReadInteger(T& v);
    template <class T>
    void ReadReal(T& v);
    const std::uint8_t* TakeRaw(std::uint64_t count, const ESS::CppLocation& location);

    const std::uint8_t* m_pData;
    std::uint64_t m_size;
    std::uint64_t m_pos;
};

class YrMetaMsgpackSerializer
{
public:
    // Appends the encoding of obj to out, after whatever out already holds.
    template <class T>
    static void Serialize(T& obj, Utils::ByteArray& out)
    {
        MsgPackSerializer s(out);
        YrMetaSerializationProcessor<YrSerializer<MsgPackSerializer>> proc(s);
        DispatchMeta(&obj, proc, true);
    }

    // Fills obj's fields from data, which must hold exactly one encoded object. The caller
    // makes obj in its cleared state first; on an error the fields read so far keep their new
    // values and the others their old ones.
    template <class T>
    static void Deserialize(T& obj, const Utils::ByteArray& data)
    {
        MsgPackDeserializer d(data);
        YrMetaSerializationProcessor<YrDeserializer<MsgPackDeserializer>> proc(d);
        DispatchMeta(&obj, proc, true);
        const std::uint64_t left = d.BytesLeft();
        if (left != 0)
        {
            ESS_THROW_MSG(ESS::Exception, L"After deserialization " + std::to_wstring(left) +
                                              L" bytes left unused. Possibly wrong input data.");
        }
    }
};

} // namespace YrMeta
