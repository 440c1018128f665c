#include "YrMeta/YrMetaMsgpackSerializer.h"

#include <cstring>
#include <limits>
#include <type_traits>
#include <typeinfo>
#include <msgpack/object_fwd.hpp>
#include <msgpack/pack.hpp>
#include <msgpack/unpack_decl.hpp>
#include <msgpack/unpack_exception.hpp>
#include "ESS/Assert.h"
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace YrMeta
{

namespace
{

// The packer's output for one value: a few bytes, appended to the array in one go.
class SmallBuffer
{
public:
    void write(const char* p, std::size_t n)
    {
        ESS_ASSERT(n <= sizeof(m_data) - m_size);
        std::memcpy(m_data + m_size, p, n);
        m_size += n;
    }

    const char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }

private:
    char m_data[16];
    std::size_t m_size = 0;
};

class StringBuffer
{
public:
    void write(const char* p, std::size_t n) { m_data.append(p, n); }
    const std::string& Data() const { return m_data; }

private:
    std::string m_data;
};

const std::uint32_t c_replacementChar = 0xFFFD;
// Open arrays and maps that one value may hold, as the original msgpack parser allowed.
const int c_maxContainerDepth = 32;

std::uint64_t ReadBigEndian(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
    {
        v = (v << 8) | p[i];
    }
    return v;
}

void WriteBigEndian(std::uint8_t* p, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
    {
        p[i] = static_cast<std::uint8_t>(v & 0xFF);
        v >>= 8;
    }
}

[[noreturn]] void ThrowParseError()
{
    throw msgpack::parse_error("parse error");
}

[[noreturn]] void ThrowTypeError()
{
    throw msgpack::type_error();
}

} // namespace

// ---------------------------------------------------------------------------------------------

void MsgPackSerializer::Append(const void* p, std::uint64_t size)
{
    m_out.Append(p, size, true);
}

void MsgPackSerializer::PutTypeNumber(std::uint8_t kind)
{
    ESS_ASSERT(kind <= 0x7F);
    Append(&kind, 1);
}

#define YRMETA_DETAIL_PUT(Name, T, packFn)                                                                   \
    void MsgPackSerializer::Name(T v)                                                                        \
    {                                                                                                        \
        SmallBuffer buf;                                                                                     \
        msgpack::packer<SmallBuffer>(buf).packFn(v);                                                         \
        Append(buf.Data(), buf.Size());                                                                      \
    }

YRMETA_DETAIL_PUT(PutUInt8, std::uint8_t, pack_uint8)
YRMETA_DETAIL_PUT(PutUInt16, std::uint16_t, pack_uint16)
YRMETA_DETAIL_PUT(PutUInt32, std::uint32_t, pack_uint32)
YRMETA_DETAIL_PUT(PutUInt64, std::uint64_t, pack_uint64)
YRMETA_DETAIL_PUT(PutInt16, std::int16_t, pack_int16)
YRMETA_DETAIL_PUT(PutInt32, std::int32_t, pack_int32)
YRMETA_DETAIL_PUT(PutInt64, std::int64_t, pack_int64)

#undef YRMETA_DETAIL_PUT

// msgpack-cxx writes a float with an integral value as an integer; the format wants the
// float forms always, so these two are written by hand.
void MsgPackSerializer::PutFloat(float v)
{
    static_assert(sizeof(float) == 4, "IEEE 754 single");
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    std::uint8_t buf[5];
    buf[0] = 0xCA;
    WriteBigEndian(buf + 1, bits, 4);
    Append(buf, sizeof(buf));
}

void MsgPackSerializer::PutDouble(double v)
{
    static_assert(sizeof(double) == 8, "IEEE 754 double");
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    std::uint8_t buf[9];
    buf[0] = 0xCB;
    WriteBigEndian(buf + 1, bits, 8);
    Append(buf, sizeof(buf));
}

void MsgPackSerializer::PutRaw(const void* p, std::uint64_t size)
{
    ESS_ASSERT(size <= 0xFFFFFFFFu);
    SmallBuffer buf;
    msgpack::packer<SmallBuffer>(buf).pack_v4raw(static_cast<std::uint32_t>(size));
    Append(buf.Data(), buf.Size());
    if (size != 0)
    {
        Append(p, size);
    }
}

void MsgPackSerializer::PutWString(const std::wstring& s)
{
    std::uint64_t units = 0;
    for (wchar_t c : s)
    {
        const std::uint32_t cp = static_cast<std::uint32_t>(c);
        units += (cp >= 0x10000 && cp <= 0x10FFFF) ? 2 : 1;
    }
    ESS_ASSERT(units <= 0xFFFFFFFFu);

    // One append for the whole text: the array grows exactly, value by value would be quadratic.
    StringBuffer buf;
    msgpack::packer<StringBuffer> pk(buf);
    pk.pack_uint32(static_cast<std::uint32_t>(units));
    for (wchar_t c : s)
    {
        std::uint32_t cp = static_cast<std::uint32_t>(c);
        if (cp > 0x10FFFF)
        {
            cp = c_replacementChar;
        }
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            pk.pack_uint16(static_cast<std::uint16_t>(0xD800 | (cp >> 10)));
            pk.pack_uint16(static_cast<std::uint16_t>(0xDC00 | (cp & 0x3FF)));
        }
        else
        {
            // Lone surrogates are passed through as they are, so that they survive a round trip.
            pk.pack_uint16(static_cast<std::uint16_t>(cp));
        }
    }
    Append(buf.Data().data(), buf.Data().size());
}

// ---------------------------------------------------------------------------------------------

struct MsgPackDeserializer::Value
{
    enum Kind
    {
        kNil,
        kBool,
        kUInt,   // u
        kNegInt, // i < 0
        kFloat,  // f
        kDouble, // d
        kRaw,    // raw, size
        kArray,  // size elements
        kMap,    // size pairs
    };

    Kind kind = kNil;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    float f = 0;
    double d = 0;
    const std::uint8_t* raw = nullptr;
    std::uint64_t size = 0;
};

namespace
{

using Value = MsgPackDeserializer::Value;

// What the lead byte of one item says: the item itself (for a container, its header), how many
// bytes follow the lead byte, and how many items an array or map holds.
struct Item
{
    Value value;
    std::uint64_t skip = 0;
    std::uint64_t children = 0;
};

// The forms held whole in the lead byte: positive and negative fixint, fixmap, fixarray, fixraw.
// False for any other lead byte.
bool DecodeFixForm(std::uint8_t lead, const std::uint8_t* p, Item& item)
{
    if (lead <= 0x7F)
    {
        item.value.kind = Value::kUInt;
        item.value.u = lead;
    }
    else if (lead >= 0xE0)
    {
        item.value.kind = Value::kNegInt;
        item.value.i = static_cast<std::int8_t>(lead);
    }
    else if (lead <= 0x8F)
    {
        item.value.kind = Value::kMap;
        item.value.size = lead & 0x0F;
        item.children = item.value.size * 2;
    }
    else if (lead <= 0x9F)
    {
        item.value.kind = Value::kArray;
        item.value.size = lead & 0x0F;
        item.children = item.value.size;
    }
    else if (lead <= 0xBF)
    {
        item.value.kind = Value::kRaw;
        item.value.size = lead & 0x1F;
        item.skip = item.value.size;
        item.value.raw = p;
    }
    else
    {
        return false;
    }
    return true;
}

// Each of the following decodes the forms named, from the bytes after the lead byte; false
// when the input ends before the item's fixed part.

// 0xCA, 0xCB.
bool DecodeReal(std::uint8_t lead, const std::uint8_t* p, std::uint64_t avail, Item& item)
{
    item.skip = (lead == 0xCA) ? 4 : 8;
    if (avail < item.skip)
    {
        return false;
    }
    if (lead == 0xCA)
    {
        const std::uint32_t bits = static_cast<std::uint32_t>(ReadBigEndian(p, 4));
        item.value.kind = Value::kFloat;
        std::memcpy(&item.value.f, &bits, sizeof(bits));
    }
    else
    {
        const std::uint64_t bits = ReadBigEndian(p, 8);
        item.value.kind = Value::kDouble;
        std::memcpy(&item.value.d, &bits, sizeof(bits));
    }
    return true;
}

// 0xCC..0xCF.
bool DecodeUnsigned(std::uint8_t lead, const std::uint8_t* p, std::uint64_t avail, Item& item)
{
    item.skip = 1u << (lead - 0xCC);
    if (avail < item.skip)
    {
        return false;
    }
    item.value.kind = Value::kUInt;
    item.value.u = ReadBigEndian(p, static_cast<int>(item.skip));
    return true;
}

// 0xD0..0xD3; a value that is not negative counts as unsigned.
bool DecodeSigned(std::uint8_t lead, const std::uint8_t* p, std::uint64_t avail, Item& item)
{
    item.skip = 1u << (lead - 0xD0);
    if (avail < item.skip)
    {
        return false;
    }
    const int bits = static_cast<int>(item.skip * 8);
    std::uint64_t u = ReadBigEndian(p, static_cast<int>(item.skip));
    if (bits < 64 && (u >> (bits - 1)) != 0)
    {
        u |= ~std::uint64_t(0) << bits; // sign extension
    }
    const std::int64_t s = static_cast<std::int64_t>(u);
    if (s < 0)
    {
        item.value.kind = Value::kNegInt;
        item.value.i = s;
    }
    else
    {
        item.value.kind = Value::kUInt;
        item.value.u = static_cast<std::uint64_t>(s);
    }
    return true;
}

// 0xDA, 0xDB.
bool DecodeRaw(std::uint8_t lead, const std::uint8_t* p, std::uint64_t avail, Item& item)
{
    const int lenBytes = (lead == 0xDA) ? 2 : 4;
    if (avail < static_cast<std::uint64_t>(lenBytes))
    {
        return false;
    }
    item.value.kind = Value::kRaw;
    item.value.size = ReadBigEndian(p, lenBytes);
    item.value.raw = p + lenBytes;
    item.skip = lenBytes + item.value.size;
    return true;
}

// 0xDC..0xDF.
bool DecodeContainer(std::uint8_t lead, const std::uint8_t* p, std::uint64_t avail, Item& item)
{
    const int lenBytes = (lead == 0xDC || lead == 0xDE) ? 2 : 4;
    item.skip = lenBytes;
    if (avail < item.skip)
    {
        return false;
    }
    item.value.size = ReadBigEndian(p, lenBytes);
    const bool isMap = (lead >= 0xDE);
    item.value.kind = isMap ? Value::kMap : Value::kArray;
    item.children = isMap ? item.value.size * 2 : item.value.size;
    return true;
}

// Any lead byte; a form outside the original format is a parse error.
bool DecodeItem(std::uint8_t lead, const std::uint8_t* p, std::uint64_t avail, Item& item)
{
    if (DecodeFixForm(lead, p, item))
    {
        return true;
    }
    switch (lead)
    {
    case 0xC0:
        item.value.kind = Value::kNil;
        return true;
    case 0xC2:
    case 0xC3:
        item.value.kind = Value::kBool;
        item.value.u = lead & 1;
        return true;
    case 0xCA:
    case 0xCB:
        return DecodeReal(lead, p, avail, item);
    case 0xCC:
    case 0xCD:
    case 0xCE:
    case 0xCF:
        return DecodeUnsigned(lead, p, avail, item);
    case 0xD0:
    case 0xD1:
    case 0xD2:
    case 0xD3:
        return DecodeSigned(lead, p, avail, item);
    case 0xDA:
    case 0xDB:
        return DecodeRaw(lead, p, avail, item);
    case 0xDC:
    case 0xDD:
    case 0xDE:
    case 0xDF:
        return DecodeContainer(lead, p, avail, item);
    default:
        // 0xC1, and the newer msgpack bin, ext and str8 forms.
        ThrowParseError();
    }
}

} // namespace

MsgPackDeserializer::MsgPackDeserializer(const Utils::ByteArray& in)
    : m_pData(in.IsNull() ? nullptr : in.Data()), m_size(in.Size()), m_pos(0)
{
}

void MsgPackDeserializer::ThrowNotEnoughBytes(const std::string& typeName) const
{
    ESS_THROW_MSG(ESS::Exception, L"Not enough byte to deserialize " + Utils::WidenString(typeName));
}

// Containers are walked with a counter per open level, never by recursion, so hostile nesting
// and element counts cost no more than the input's length.
bool MsgPackDeserializer::Next(Value& v)
{
    std::uint64_t pos = m_pos;
    std::uint64_t remaining[c_maxContainerDepth];
    int depth = 0;

    for (;;)
    {
        if (pos >= m_size)
        {
            return false;
        }
        const std::uint8_t lead = m_pData[pos++];
        const std::uint64_t avail = m_size - pos;
        Item item;
        if (!DecodeItem(lead, m_pData + pos, avail, item) || avail < item.skip)
        {
            return false;
        }
        pos += item.skip;

        if (depth == 0)
        {
            v = item.value;
        }

        if (item.children != 0)
        {
            if (depth >= c_maxContainerDepth)
            {
                ThrowParseError();
            }
            remaining[depth++] = item.children;
            continue;
        }

        // One item is complete; so is every container whose last item it was.
        while (depth > 0 && --remaining[depth - 1] == 0)
        {
            --depth;
        }
        if (depth == 0)
        {
            m_pos = pos;
            return true;
        }
    }
}

template <class T>
void MsgPackDeserializer::ReadInteger(T& out)
{
    Value v;
    if (!Next(v))
    {
        ThrowNotEnoughBytes(Platform::RawTypeName(typeid(T)));
    }
    if (v.kind == Value::kUInt)
    {
        if (v.u > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
        {
            ThrowTypeError();
        }
        out = static_cast<T>(v.u);
        return;
    }
    if (v.kind == Value::kNegInt && std::is_signed<T>::value &&
        v.i >= static_cast<std::int64_t>(std::numeric_limits<T>::min()))
    {
        out = static_cast<T>(v.i);
        return;
    }
    ThrowTypeError();
}

template <class T>
void MsgPackDeserializer::ReadReal(T& out)
{
    Value v;
    if (!Next(v))
    {
        ThrowNotEnoughBytes(Platform::RawTypeName(typeid(T)));
    }
    if (v.kind == Value::kFloat)
    {
        out = static_cast<T>(v.f);
    }
    else if (v.kind == Value::kDouble)
    {
        out = static_cast<T>(v.d);
    }
    else
    {
        ThrowTypeError();
    }
}

void MsgPackDeserializer::Read(std::uint8_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(std::uint16_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(std::uint32_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(std::uint64_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(std::int16_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(std::int32_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(std::int64_t& v)
{
    ReadInteger(v);
}
void MsgPackDeserializer::Read(float& v)
{
    ReadReal(v);
}
void MsgPackDeserializer::Read(double& v)
{
    ReadReal(v);
}

void MsgPackDeserializer::Read(std::string& out)
{
    Value v;
    if (!Next(v))
    {
        ThrowNotEnoughBytes(Platform::RawTypeName(typeid(std::string)));
    }
    if (v.kind != Value::kRaw)
    {
        ThrowTypeError();
    }
    out.assign(reinterpret_cast<const char*>(v.raw), v.size);
}

void MsgPackDeserializer::Read(std::wstring& out)
{
    std::uint32_t count = 0;
    Read(count);

    // Grown unit by unit: every unit costs at least one input byte, so a hostile count
    // cannot make the text larger than the input.
    std::wstring text;
    std::uint32_t high = 0; // a high surrogate waiting for its partner
    for (std::uint32_t i = 0; i < count; ++i)
    {
        std::uint16_t unit = 0;
        Read(unit);
        if (high != 0)
        {
            if (unit >= 0xDC00 && unit <= 0xDFFF)
            {
                text.push_back(static_cast<wchar_t>(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00)));
                high = 0;
                continue;
            }
            text.push_back(static_cast<wchar_t>(high));
            high = 0;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF)
        {
            high = unit;
        }
        else
        {
            text.push_back(static_cast<wchar_t>(unit));
        }
    }
    if (high != 0)
    {
        text.push_back(static_cast<wchar_t>(high));
    }
    out.swap(text);
}

const std::uint8_t* MsgPackDeserializer::TakeRaw(std::uint64_t count, const ESS::CppLocation& location)
{
    Value v;
    if (!Next(v))
    {
        ESS::Throw(ESS::Exception(L"Not enough byte to deserialize raw bytes array", location));
    }
    if (v.kind != Value::kRaw)
    {
        ThrowTypeError();
    }
    if (v.size != count)
    {
        ESS::Throw(ESS::Exception(L"Wrong size", location));
    }
    return v.raw;
}

void MsgPackDeserializer::Get(void* dst, std::uint64_t count)
{
    const std::uint8_t* p = TakeRaw(count, ESS_LOCATION);
    if (count != 0)
    {
        std::memcpy(dst, p, count);
    }
}

void MsgPackDeserializer::Get(Utils::ByteArray& dst, std::uint64_t count)
{
    const std::uint8_t* p = TakeRaw(count, ESS_LOCATION);
    dst = (count != 0) ? Utils::ByteArray(p, count) : Utils::ByteArray();
}

} // namespace YrMeta
