#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <msgpack/object_fwd.hpp>
#include <msgpack/unpack_decl.hpp>
#include <msgpack/unpack_exception.hpp>
#include "ESS/Exception.h"
#include "Utils/Random.h"
#include "YrMetaTestTypes.h"

namespace
{

using namespace YrMetaTest;
using Utils::ByteArray;
using VdiCommon::SendDataRes;

template <class T>
std::string EncodeOne(const T& v)
{
    One<T> obj(v);
    return Hex(Encode(obj));
}

// The message of the ESS::Exception that reading the bytes into obj raises; "" when none.
template <class T>
std::wstring ReadError(T& obj, const std::vector<std::uint8_t>& bytes)
{
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(obj, Bytes(bytes));
    }
    catch (const ESS::Exception& e)
    {
        return e.Message();
    }
    return std::wstring();
}

template <class T>
T ReadOne(const std::vector<std::uint8_t>& bytes)
{
    One<T> obj;
    YrMeta::YrMetaMsgpackSerializer::Deserialize(obj, Bytes(bytes));
    return obj.m_v;
}

// ---- writing ---------------------------------------------------------------------------------

TEST(YrMetaMsgpackWriteTest, SelfTestPacket)
{
    TestPacket p;
    p.m_packetNum = 5;
    p.m_payload = ByteArray(std::string("abc"));
    EXPECT_EQ("03 05 0C 03 A3 61 62 63", Hex(Encode(p)));
}

TEST(YrMetaMsgpackWriteTest, IntegersTakeTheShortestFormOfTheirWidth)
{
    EXPECT_EQ("03 FF", EncodeOne<int>(-1));
    EXPECT_EQ("03 CC C8", EncodeOne<int>(200));
    EXPECT_EQ("02 D1 FF 38", EncodeOne<short>(-200));
    EXPECT_EQ("02 CC C8", EncodeOne<short>(200));
    EXPECT_EQ("02 E0", EncodeOne<short>(-32));
    EXPECT_EQ("02 D0 DF", EncodeOne<short>(-33));
    EXPECT_EQ("02 D1 80 00", EncodeOne<short>(-32768));
    EXPECT_EQ("02 CD 7F FF", EncodeOne<short>(32767));
    EXPECT_EQ("04 D0 DF", EncodeOne<std::int64_t>(-33));
    EXPECT_EQ("04 00", EncodeOne<std::int64_t>(0));
    EXPECT_EQ("06 CC FF", EncodeOne<std::uint32_t>(255));
    EXPECT_EQ("07 CF 00 00 00 01 00 00 00 00", EncodeOne<std::uint64_t>(4294967296ull));

    EXPECT_EQ("05 7F", EncodeOne<std::uint16_t>(127));
    EXPECT_EQ("05 CC 80", EncodeOne<std::uint16_t>(128));
    EXPECT_EQ("05 CC FF", EncodeOne<std::uint16_t>(255));
    EXPECT_EQ("05 CD 01 00", EncodeOne<std::uint16_t>(256));
    EXPECT_EQ("05 CD FF FF", EncodeOne<std::uint16_t>(65535));
    EXPECT_EQ("06 CE 00 01 00 00", EncodeOne<std::uint32_t>(65536));
    EXPECT_EQ("06 CE FF FF FF FF", EncodeOne<std::uint32_t>(0xFFFFFFFFu));
    EXPECT_EQ("01 CC FF", EncodeOne<std::uint8_t>(255));
    EXPECT_EQ("01 7F", EncodeOne<std::uint8_t>(127));

    EXPECT_EQ("03 E0", EncodeOne<int>(-32));
    EXPECT_EQ("03 D0 DF", EncodeOne<int>(-33));
    EXPECT_EQ("03 D0 80", EncodeOne<int>(-128));
    EXPECT_EQ("03 D1 FF 7F", EncodeOne<int>(-129));
    EXPECT_EQ("03 D1 80 00", EncodeOne<int>(-32768));
    EXPECT_EQ("03 D2 FF FF 7F FF", EncodeOne<int>(-32769));
    EXPECT_EQ("03 D2 80 00 00 00", EncodeOne<int>(std::numeric_limits<int>::min()));
    EXPECT_EQ("03 CE 7F FF FF FF", EncodeOne<int>(std::numeric_limits<int>::max()));

    EXPECT_EQ("04 D3 FF FF FF FF 7F FF FF FF", EncodeOne<std::int64_t>(-2147483649ll));
    EXPECT_EQ("04 D2 80 00 00 00", EncodeOne<std::int64_t>(-2147483648ll));
    EXPECT_EQ("04 CF 7F FF FF FF FF FF FF FF",
              EncodeOne<std::int64_t>(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ("04 CE FF FF FF FF", EncodeOne<std::int64_t>(0xFFFFFFFFll));
    EXPECT_EQ("07 CF FF FF FF FF FF FF FF FF", EncodeOne<std::uint64_t>(~0ull));
}

TEST(YrMetaMsgpackWriteTest, BooleansAndEnumerationsAreIntegers)
{
    EXPECT_EQ("00 01", EncodeOne<bool>(true));
    EXPECT_EQ("00 00", EncodeOne<bool>(false));
    EXPECT_EQ("0D 01", EncodeOne<Color>(Color::Red));
    EXPECT_EQ("0D F9", EncodeOne<Color>(Color::Blue));
    EXPECT_EQ("0E 03", EncodeOne<SendDataRes>(SendDataRes::RemoteNotReady));
}

TEST(YrMetaMsgpackWriteTest, FloatsAlwaysInFloatForms)
{
    EXPECT_EQ("08 CA 3F 80 00 00", EncodeOne<float>(1.0f));
    EXPECT_EQ("09 CB 3F F0 00 00 00 00 00 00", EncodeOne<double>(1.0));
    EXPECT_EQ("08 CA BF C0 00 00", EncodeOne<float>(-1.5f));
    EXPECT_EQ("08 CA 00 00 00 00", EncodeOne<float>(0.0f));
    EXPECT_EQ("09 CB 80 00 00 00 00 00 00 00", EncodeOne<double>(-0.0));
    EXPECT_EQ("09 CB 40 09 21 FB 54 44 2D 18", EncodeOne<double>(3.141592653589793));
}

TEST(YrMetaMsgpackWriteTest, RawHeaderBoundaries)
{
    EXPECT_EQ("0A A0", EncodeOne<std::string>(""));
    EXPECT_EQ("0A A2 68 69", EncodeOne<std::string>("hi"));

    struct Case
    {
        std::size_t length;
        const char* header;
    };
    const Case cases[] = {
        {31, "0A BF"}, {32, "0A DA 00 20"}, {65535, "0A DA FF FF"}, {65536, "0A DB 00 01 00 00"}};
    for (const Case& c : cases)
    {
        One<std::string> obj(std::string(c.length, 'x'));
        const ByteArray out = Encode(obj);
        const std::string header(c.header);
        const std::uint64_t headerBytes = (header.size() + 1) / 3;
        ASSERT_EQ(headerBytes + c.length, out.Size()) << c.length;
        EXPECT_EQ(header, Hex(ByteArray(out.Data(), headerBytes))) << c.length;
        EXPECT_EQ('x', out.Data()[out.Size() - 1]);
    }

    // Bytes are written as stored: no terminator, no conversion.
    EXPECT_EQ("0A A3 00 C3 A9", EncodeOne<std::string>(std::string("\0\xC3\xA9", 3)));
}

TEST(YrMetaMsgpackWriteTest, WideStringsAsUtf16Units)
{
    EXPECT_EQ("0B 01 CD 20 AC", EncodeOne<std::wstring>(L"\u20AC"));
    EXPECT_EQ("0B 01 CC E9", EncodeOne<std::wstring>(L"\u00E9"));
    EXPECT_EQ("0B 02 41 42", EncodeOne<std::wstring>(L"AB"));
    EXPECT_EQ("0B 00", EncodeOne<std::wstring>(L""));
    // Above U+FFFF: a surrogate pair, counted as two units.
    EXPECT_EQ("0B 02 CD D8 3D CD DE 00", EncodeOne<std::wstring>(std::wstring(1, wchar_t(0x1F600))));
    // No character at all: the replacement character.
    EXPECT_EQ("0B 01 CD FF FD", EncodeOne<std::wstring>(std::wstring(1, wchar_t(0x110000))));
    EXPECT_EQ("0B 01 CD FF FD", EncodeOne<std::wstring>(std::wstring(1, wchar_t(-1))));
}

TEST(YrMetaMsgpackWriteTest, ByteArrays)
{
    EXPECT_EQ("0C 00", EncodeOne<ByteArray>(ByteArray()));
    EXPECT_EQ("0C 00", EncodeOne<ByteArray>(ByteArray(16, 0)));
    EXPECT_EQ("0C 02 A2 01 02", EncodeOne<ByteArray>(Bytes({1, 2})));

    One<ByteArray> big(ByteArray(300, 0x5A, 0));
    const ByteArray out = Encode(big);
    ASSERT_EQ(1u + 3u + 3u + 300u, out.Size());
    EXPECT_EQ("0C CD 01 2C DA 01 2C 5A", Hex(ByteArray(out.Data(), 8)));
}

TEST(YrMetaMsgpackWriteTest, VectorsAndNestedObjectsCarryNoFraming)
{
    EXPECT_EQ("0F 02 03 01 03 02", EncodeOne<std::vector<int>>({1, 2}));
    EXPECT_EQ("0F 00", EncodeOne<std::vector<int>>({}));
    EXPECT_EQ("03 07 02 00", EncodeOne<Inner>(Inner(7, 0)));
    EXPECT_EQ("0F 02 03 01 02 02 03 03 02 04", EncodeOne<std::vector<Inner>>({Inner(1, 2), Inner(3, 4)}));
    EXPECT_EQ("0F 01 0D 01", EncodeOne<std::vector<Color>>({Color::Red}));
}

TEST(YrMetaMsgpackWriteTest, AppendsAfterExistingContent)
{
    ByteArray out = Bytes({0xEE, 0xEE});
    One<int> obj(3);
    YrMeta::MsgPackSerializer s(out);
    YrMeta::YrMetaSerializationProcessor<YrMeta::YrSerializer<YrMeta::MsgPackSerializer>> proc(s);
    YrMeta::DispatchMeta(&obj, proc, true);
    EXPECT_EQ("EE EE 03 03", Hex(out));
}

TEST(YrMetaMsgpackWriteTest, ClearedObjectEncodesZeroForms)
{
    AllKinds obj;
    EXPECT_EQ("00 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 "
              "08 CA 00 00 00 00 09 CB 00 00 00 00 00 00 00 00 "
              "0A A0 0B 00 0C 00 0D 00 0E 00 "
              "03 00 02 00 "
              "0F 00 0F 00",
              Hex(Encode(obj)));
}

TEST(YrMetaMsgpackWriteTest, NestedObjectAndLargeSelfTestPacket)
{
    // A nested object of one int field 7 is that field's entry alone.
    EXPECT_EQ("03 07", EncodeOne<One<int>>(One<int>(7)));
    EXPECT_EQ(7, ReadOne<One<int>>({0x03, 0x07}).m_v);

    // The largest payload the self-test sends.
    TestPacket p;
    p.m_packetNum = 5;
    p.m_payload = ByteArray(6144, 0x2B, 0);
    const ByteArray out = Encode(p);
    ASSERT_EQ(9u + 6144u, out.Size());
    EXPECT_EQ("03 05 0C CD 18 00 DA 18 00 2B", Hex(ByteArray(out.Data(), 10)));
    TestPacket q;
    YrMeta::YrMetaMsgpackSerializer::Deserialize(q, out);
    EXPECT_EQ(5, q.m_packetNum);
    EXPECT_EQ(p.m_payload, q.m_payload);
}

// ---- reading ---------------------------------------------------------------------------------

TEST(YrMetaMsgpackReadTest, TypeNumberWidthAndEarlyEndOfEachValue)
{
    // Kinds read as 32-bit signed numbers: any integer form that fits is a number to compare,
    // one that does not fit is a type error.
    One<float> f;
    EXPECT_EQ(L"Another type expected: expected: 8, actual: 65536",
              ReadError(f, {0xCE, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(L"Another type expected: expected: 8, actual: -129", ReadError(f, {0xD1, 0xFF, 0x7F}));
    EXPECT_THROW(ReadOne<float>({0xCE, 0x80, 0x00, 0x00, 0x00, 0x08}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::string>({0xD3, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}),
                 msgpack::type_error);
    EXPECT_THROW(ReadOne<std::uint16_t>({0xA1, 0x05, 0x05}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::wstring>({0xD0, 0xFF, 0x00}), msgpack::type_error);

    // The name of the value's own type.
    EXPECT_EQ(L"Not enough byte to deserialize float", ReadError(f, {0x08, 0xCA, 0x3F}));
    One<short> s;
    EXPECT_EQ(L"Not enough byte to deserialize short", ReadError(s, {0x02}));
    One<std::uint16_t> u16;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned short", ReadError(u16, {0x05, 0xCD, 0x01}));
    One<std::uint64_t> u64;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned long", ReadError(u64, {0x07}));
    One<std::uint8_t> u8;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned char", ReadError(u8, {0x01}));
    One<SendDataRes> e;
    EXPECT_EQ(L"Not enough byte to deserialize int", ReadError(e, {0x0E}));
    One<Color> c;
    EXPECT_EQ(L"Not enough byte to deserialize int", ReadError(c, {0x0D}));
    One<ByteArray> b;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned int", ReadError(b, {0x0C}));
    One<std::vector<int>> v;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned int", ReadError(v, {0x0F}));
}

TEST(YrMetaMsgpackReadTest, VectorTakesTheCountRead)
{
    One<std::vector<int>> v;
    v.m_v = {4, 5, 6};
    YrMeta::YrMetaMsgpackSerializer::Deserialize(v, Bytes({0x0F, 0x01, 0x03, 0x09}));
    EXPECT_EQ(std::vector<int>{9}, v.m_v);
    YrMeta::YrMetaMsgpackSerializer::Deserialize(v, Bytes({0x0F, 0x00}));
    EXPECT_TRUE(v.m_v.empty());

    One<std::vector<Inner>> objects;
    objects.m_v = {Inner(7, 7), Inner(8, 8)};
    YrMeta::YrMetaMsgpackSerializer::Deserialize(objects, Bytes({0x0F, 0x01, 0x03, 0x01, 0x02, 0x02}));
    ASSERT_EQ(1u, objects.m_v.size());
    EXPECT_EQ(1, objects.m_v[0].m_a);
    EXPECT_EQ(2, objects.m_v[0].m_b);

    // Elements are field entries of their own kind.
    EXPECT_EQ(L"Another type expected: expected: 3, actual: 2", ReadError(v, {0x0F, 0x01, 0x02, 0x01}));
}

TEST(YrMetaMsgpackReadTest, RoundTripOfEveryKind)
{
    AllKinds a;
    a.m_bool = true;
    a.m_u8 = 200;
    a.m_short = -32768;
    a.m_int = -32769;
    a.m_i64 = std::numeric_limits<std::int64_t>::min();
    a.m_u16 = 65535;
    a.m_u32 = 0xFFFFFFFFu;
    a.m_u64 = ~0ull;
    a.m_float = -0.25f;
    a.m_double = 1e300;
    a.m_string = std::string(70000, 'q');
    a.m_wstring = std::wstring(L"\u20AC x ") + wchar_t(0x1F600) + wchar_t(0xD800) + L"z" + wchar_t(0xDC00);
    a.m_bytes = ByteArray(std::string("payload"));
    a.m_enum = Color::Blue;
    a.m_smart = SendDataRes::TryLater;
    a.m_inner = Inner(-5, 9);
    a.m_ints = {0, -1, 1 << 20};
    a.m_inners = {Inner(1, 1), Inner(2, 2)};

    const ByteArray wire = Encode(a);
    AllKinds b;
    YrMeta::YrMetaMsgpackSerializer::Deserialize(b, wire);

    EXPECT_TRUE(b.m_bool);
    EXPECT_EQ(200, b.m_u8);
    EXPECT_EQ(-32768, b.m_short);
    EXPECT_EQ(-32769, b.m_int);
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), b.m_i64);
    EXPECT_EQ(65535, b.m_u16);
    EXPECT_EQ(0xFFFFFFFFu, b.m_u32);
    EXPECT_EQ(~0ull, b.m_u64);
    EXPECT_EQ(-0.25f, b.m_float);
    EXPECT_EQ(1e300, b.m_double);
    EXPECT_EQ(a.m_string, b.m_string);
    EXPECT_EQ(a.m_wstring, b.m_wstring); // pairs joined, lone surrogates kept
    EXPECT_EQ(a.m_bytes, b.m_bytes);
    EXPECT_EQ(b.m_bytes.Size(), b.m_bytes.Capacity());
    EXPECT_EQ(Color::Blue, b.m_enum);
    EXPECT_EQ(2, b.m_smart.CastToInt());
    EXPECT_EQ(-5, b.m_inner.m_a);
    EXPECT_EQ(9, b.m_inner.m_b);
    EXPECT_EQ(a.m_ints, b.m_ints);
    ASSERT_EQ(2u, b.m_inners.size());
    EXPECT_EQ(2, b.m_inners[1].m_a);

    // The input is never changed.
    EXPECT_EQ(wire, Encode(a));
}

TEST(YrMetaMsgpackReadTest, AnyIntegerFormWhoseValueFits)
{
    EXPECT_EQ(5, ReadOne<int>({0x03, 0xCD, 0x00, 0x05}));
    EXPECT_EQ(5, ReadOne<int>({0x03, 0xD0, 0x05}));
    EXPECT_EQ(5, ReadOne<int>({0x03, 0xD3, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(-1, ReadOne<int>({0x03, 0xD3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(200, ReadOne<std::uint8_t>({0x01, 0xD1, 0x00, 0xC8}));
    EXPECT_EQ(-200, ReadOne<short>({0x02, 0xD1, 0xFF, 0x38}));
    EXPECT_EQ(4294967296ull, ReadOne<std::uint64_t>({0x07, 0xCF, 0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::max(),
              ReadOne<std::int64_t>({0x04, 0xCF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Color::Blue, ReadOne<Color>({0x0D, 0xF9}));
    EXPECT_EQ("RemoteNotReady", ReadOne<SendDataRes>({0x0E, 0x03}).ToString());

    // Any non-zero byte value is true; only integers are booleans.
    EXPECT_TRUE(ReadOne<bool>({0x00, 0x05}));
    EXPECT_TRUE(ReadOne<bool>({0x00, 0xCC, 0xFF}));
    EXPECT_FALSE(ReadOne<bool>({0x00, 0xD0, 0x00}));
}

TEST(YrMetaMsgpackReadTest, WrongFormOrRangeIsTypeError)
{
    EXPECT_THROW(ReadOne<std::uint8_t>({0x01, 0xCD, 0x01, 0x00}), msgpack::type_error);
    EXPECT_THROW(ReadOne<bool>({0x00, 0xC3}), msgpack::type_error);
    EXPECT_THROW(ReadOne<bool>({0x00, 0xC2}), msgpack::type_error);
    EXPECT_THROW(ReadOne<bool>({0x00, 0xFF}), msgpack::type_error);
    EXPECT_THROW(ReadOne<short>({0x02, 0xCD, 0x80, 0x00}), msgpack::type_error);
    EXPECT_THROW(ReadOne<short>({0x02, 0xD2, 0xFF, 0xFF, 0x7F, 0xFF}), msgpack::type_error);
    EXPECT_THROW(ReadOne<int>({0x03, 0xCE, 0x80, 0x00, 0x00, 0x00}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::uint64_t>({0x07, 0xFF}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::uint32_t>({0x06, 0xD0, 0xFE}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::int64_t>({0x04, 0xCF, 0x80, 0, 0, 0, 0, 0, 0, 0}), msgpack::type_error);
    EXPECT_THROW(ReadOne<int>({0x03, 0xC0}), msgpack::type_error);
    EXPECT_THROW(ReadOne<int>({0x03, 0xA1, 0x31}), msgpack::type_error);
    EXPECT_THROW(ReadOne<int>({0x03, 0x91, 0x01}), msgpack::type_error);
    EXPECT_THROW(ReadOne<int>({0x03, 0xCA, 0x3F, 0x80, 0x00, 0x00}), msgpack::type_error);
    EXPECT_THROW(ReadOne<float>({0x08, 0x01}), msgpack::type_error);
    EXPECT_THROW(ReadOne<double>({0x09, 0xCC, 0x01}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::string>({0x0A, 0x05}), msgpack::type_error);
    EXPECT_THROW(ReadOne<std::wstring>({0x0B, 0x01, 0xCE, 0x00, 0x01, 0x00, 0x00}), msgpack::type_error);
    EXPECT_THROW(ReadOne<ByteArray>({0x0C, 0x01, 0x05}), msgpack::type_error);

    try
    {
        ReadOne<int>({0x03, 0xC3});
        ADD_FAILURE() << "no type error";
    }
    catch (const msgpack::type_error& e)
    {
        EXPECT_STREQ("std::bad_cast", e.what());
    }
}

TEST(YrMetaMsgpackReadTest, FloatsNarrowAndWiden)
{
    EXPECT_EQ(1.0f, ReadOne<float>({0x08, 0xCA, 0x3F, 0x80, 0x00, 0x00}));
    EXPECT_EQ(1.5f, ReadOne<float>({0x08, 0xCB, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(1.0, ReadOne<double>({0x09, 0xCA, 0x3F, 0x80, 0x00, 0x00}));
    EXPECT_TRUE(std::isnan(ReadOne<double>({0x09, 0xCB, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0})));
}

TEST(YrMetaMsgpackReadTest, TypeNumberMismatch)
{
    One<int> i;
    EXPECT_EQ(L"Another type expected: expected: 3, actual: 5", ReadError(i, {0x05, 0x05}));
    // Kinds read as 32-bit signed numbers report any number that fits.
    EXPECT_EQ(L"Another type expected: expected: 3, actual: 200", ReadError(i, {0xCC, 0xC8, 0x05}));
    EXPECT_EQ(L"Another type expected: expected: 3, actual: -1", ReadError(i, {0xFF, 0x05}));
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(i, Bytes({0x05, 0x05}));
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ("YrMeta/YrMetaSerializationProcessor", ESS::SourceFileText(e.Location().file));
        EXPECT_NE(std::string::npos, std::string(e.Location().function).find("YrMeta::TypeCheckup"));
    }
    One<ByteArray> b;
    EXPECT_EQ(L"Another type expected: expected: 12, actual: 3", ReadError(b, {0x03, 0x00}));
    One<std::vector<int>> v;
    EXPECT_EQ(L"Another type expected: expected: 15, actual: 14", ReadError(v, {0x0E, 0x00}));
    One<Inner> n;
    EXPECT_EQ(L"Another type expected: expected: 2, actual: 3", ReadError(n, {0x03, 0x01, 0x03, 0x01}));

    // Kinds read as unsigned bytes: a type number outside 0..255 is a type error, not a mismatch.
    EXPECT_THROW(ReadOne<bool>({0xCD, 0x01, 0x00, 0x00}), msgpack::type_error);
    EXPECT_THROW(ReadOne<SendDataRes>({0xFF, 0x00}), msgpack::type_error);
    One<bool> flag;
    EXPECT_EQ(L"Another type expected: expected: 0, actual: 255", ReadError(flag, {0xCC, 0xFF, 0x00}));
}

TEST(YrMetaMsgpackReadTest, InputEndingEarlyNamesTheTypeBeingRead)
{
    One<int> i;
    EXPECT_EQ(L"Not enough byte to deserialize int", ReadError(i, {}));
    EXPECT_EQ(L"Not enough byte to deserialize int", ReadError(i, {0x03}));
    EXPECT_EQ(L"Not enough byte to deserialize int", ReadError(i, {0x03, 0xCD, 0x00}));
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(i, Bytes({0x03}));
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ("YrMeta/YrMetaMsgpackSerializer", ESS::SourceFileText(e.Location().file));
    }
    One<bool> flag;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned char", ReadError(flag, {}));
    One<std::int64_t> i64;
    EXPECT_EQ(L"Not enough byte to deserialize long", ReadError(i64, {0x04}));
    One<double> d;
    EXPECT_EQ(L"Not enough byte to deserialize double", ReadError(d, {0x09, 0xCB, 0x00}));
    One<std::wstring> ws;
    EXPECT_EQ(L"Not enough byte to deserialize unsigned int", ReadError(ws, {0x0B}));
    EXPECT_EQ(L"Not enough byte to deserialize unsigned short", ReadError(ws, {0x0B, 0x02, 0x41}));
    One<std::string> s;
    const std::wstring msg = ReadError(s, {0x0A, 0xA3, 0x61});
    EXPECT_EQ(0u, msg.find(L"Not enough byte to deserialize std::")) << msg;
    EXPECT_NE(std::wstring::npos, msg.find(L"basic_string<char")) << msg;
    // An array that never completes is a value that is not there yet.
    EXPECT_EQ(L"Not enough byte to deserialize int",
              ReadError(i, {0x03, 0xDD, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(YrMetaMsgpackReadTest, ByteArrays)
{
    ByteArray ba = ReadOne<ByteArray>({0x0C, 0x00});
    EXPECT_TRUE(ba.IsNull());

    ba = ReadOne<ByteArray>({0x0C, 0x03, 0xA3, 0x61, 0x62, 0x63});
    EXPECT_EQ(ByteArray(std::string("abc")), ba);
    EXPECT_EQ(3u, ba.Capacity());

    // Size 0 replaces any earlier content with an array without a block.
    One<ByteArray> obj(ByteArray(std::string("old")));
    YrMeta::YrMetaMsgpackSerializer::Deserialize(obj, Bytes({0x0C, 0x00}));
    EXPECT_TRUE(obj.m_v.IsNull());

    One<ByteArray> b(ByteArray(std::string("keep")));
    EXPECT_EQ(L"Not enough byte to deserialize raw bytes array", ReadError(b, {0x0C, 0x03}));
    EXPECT_EQ(L"Not enough byte to deserialize raw bytes array", ReadError(b, {0x0C, 0x03, 0xA3, 0x61}));
    EXPECT_EQ(L"Wrong size", ReadError(b, {0x0C, 0x03, 0xA2, 0x61, 0x62}));
    EXPECT_EQ(L"Wrong size", ReadError(b, {0x0C, 0x01, 0xA2, 0x61, 0x62}));
    // A size far beyond the input: the raw is checked before a block of that size is taken.
    EXPECT_EQ(L"Not enough byte to deserialize raw bytes array",
              ReadError(b, {0x0C, 0xCE, 0xFF, 0xFF, 0xFF, 0xFF, 0xDB, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_EQ(L"Wrong size", ReadError(b, {0x0C, 0xCE, 0xFF, 0xFF, 0xFF, 0xFF, 0xA1, 0x00}));
    EXPECT_EQ(ByteArray(std::string("keep")), b.m_v);
}

TEST(YrMetaMsgpackReadTest, GetReadsOneRawOfExactSize)
{
    const ByteArray in = Bytes({0xA3, 0x61, 0x62, 0x63, 0xA1, 0x7A, 0x05});
    YrMeta::MsgPackDeserializer d(in);
    EXPECT_EQ(7u, d.BytesLeft());
    char buf[3] = {};
    d.Get(buf, 3);
    EXPECT_EQ(std::string("abc"), std::string(buf, 3));
    EXPECT_EQ(3u, d.BytesLeft());
    EXPECT_THROW(d.Get(buf, 2), ESS::Exception); // Wrong size
    EXPECT_THROW(d.Get(buf, 1), msgpack::type_error);
    try
    {
        d.Get(buf, 1);
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"Not enough byte to deserialize raw bytes array", e.Message());
        EXPECT_NE(std::string::npos, std::string(e.Location().function).find("MsgPackDeserializer::Get"));
    }
}

TEST(YrMetaMsgpackReadTest, LeftoverBytesAreCounted)
{
    TestPacket p;
    EXPECT_EQ(L"After deserialization 2 bytes left unused. Possibly wrong input data.",
              ReadError(p, {0x03, 0x05, 0x0C, 0x03, 0xA3, 0x61, 0x62, 0x63, 0x00, 0x00}));
    // The fields were read before the leftover was found.
    EXPECT_EQ(5, p.m_packetNum);
    EXPECT_EQ(ByteArray(std::string("abc")), p.m_payload);

    std::vector<std::uint8_t> big = {0x03, 0x01, 0x0C, 0x00};
    big.resize(big.size() + 20000, 0x7F);
    EXPECT_EQ(L"After deserialization 20000 bytes left unused. Possibly wrong input data.",
              ReadError(p, big));

    One<int> i;
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(i, Bytes({0x03, 0x01, 0xC1}));
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"After deserialization 1 bytes left unused. Possibly wrong input data.", e.Message());
        EXPECT_EQ("YrMeta/YrMetaMsgpackSerializer", ESS::SourceFileText(e.Location().file));
    }
}

TEST(YrMetaMsgpackReadTest, FormsOfNewerMsgpackAreParseErrors)
{
    // str8, bin 8/16/32, ext and fixext, and the never-used 0xC1.
    const std::uint8_t leads[] = {0xC1, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
                                  0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9};
    for (std::uint8_t lead : leads)
    {
        try
        {
            ReadOne<std::string>({0x0A, lead, 0x01, 0x61, 0x61, 0x61, 0x61, 0x61});
            ADD_FAILURE() << "no parse error for " << int(lead);
        }
        catch (const msgpack::parse_error& e)
        {
            EXPECT_STREQ("parse error", e.what());
        }
    }
    // Also as a type number and inside a container.
    EXPECT_THROW(ReadOne<int>({0xD9, 0x01, 0x61}), msgpack::parse_error);
    EXPECT_THROW(ReadOne<int>({0x03, 0x92, 0x01, 0xC1}), msgpack::parse_error);
}

TEST(YrMetaMsgpackReadTest, ContainersNestDeeperThan32AreParseErrors)
{
    std::vector<std::uint8_t> ok = {0x03};
    ok.insert(ok.end(), 32, 0x91);
    ok.push_back(0x01);
    EXPECT_THROW(ReadOne<int>(ok), msgpack::type_error); // a complete value, but no integer

    std::vector<std::uint8_t> deep = {0x03};
    deep.insert(deep.end(), 33, 0x91);
    deep.push_back(0x01);
    EXPECT_THROW(ReadOne<int>(deep), msgpack::parse_error);

    // Empty containers hold nothing open.
    std::vector<std::uint8_t> wide = {0x03, 0xDC, 0x00, 0x40};
    wide.insert(wide.end(), 64, 0x90);
    EXPECT_THROW(ReadOne<int>(wide), msgpack::type_error);

    // Maps count their keys and values.
    EXPECT_THROW(ReadOne<int>({0x03, 0x81, 0x01, 0x02}), msgpack::type_error);
    One<int> i;
    EXPECT_EQ(L"Not enough byte to deserialize int", ReadError(i, {0x03, 0x81, 0x01}));
}

TEST(YrMetaMsgpackReadTest, SmartEnumerationOutsideItsTable)
{
    One<SendDataRes> e(SendDataRes::Ok);
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(e, Bytes({0x0E, 0x07}));
        ADD_FAILURE() << "no exception";
    }
    catch (const YrMeta::SmartEnum::ConvertionException& ex)
    {
        EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) value 7 is not valid.", ex.Message());
    }
    EXPECT_EQ(1, e.m_v.CastToInt());
}

TEST(YrMetaMsgpackReadTest, FailureKeepsFieldsAlreadyReadAndTheRest)
{
    AllKinds obj;
    obj.m_int = 77;
    obj.m_string = "before";
    obj.m_wstring = L"before";
    // bool true, u8 9, short 10, then the int's value is missing.
    EXPECT_EQ(L"Not enough byte to deserialize int",
              ReadError(obj, {0x00, 0x01, 0x01, 0x09, 0x02, 0x0A, 0x03}));
    EXPECT_TRUE(obj.m_bool);
    EXPECT_EQ(9, obj.m_u8);
    EXPECT_EQ(10, obj.m_short);
    EXPECT_EQ(77, obj.m_int);

    // A wide string is replaced only once all its units are read.
    One<std::wstring> ws(L"keep");
    EXPECT_EQ(L"Not enough byte to deserialize unsigned short",
              ReadError(ws, {0x0B, 0xCE, 0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x42}));
    EXPECT_EQ(L"keep", ws.m_v);
}

TEST(YrMetaMsgpackReadTest, VectorCountBeyondTheInputIsRefusedBeforeGrowing)
{
    One<std::vector<int>> v;
    v.m_v = {4, 5};
    const std::wstring msg = ReadError(v, {0x0F, 0xCE, 0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x01});
    EXPECT_EQ(0u, msg.find(L"Not enough byte to deserialize std::vector<int")) << msg;
    EXPECT_EQ((std::vector<int>{4, 5}), v.m_v);

    One<std::vector<Inner>> objects;
    EXPECT_NE(L"", ReadError(objects, {0x0F, 0xCE, 0x00, 0x10, 0x00, 0x00}));
    EXPECT_TRUE(objects.m_v.empty());

    // Counts the input can hold still read, and fail on the element that is missing.
    One<std::vector<int>> w;
    EXPECT_EQ(L"Not enough byte to deserialize int",
              ReadError(w, {0x0F, 0x02, 0x03, 0x01, 0x03, 0xCD, 0x00}));
    EXPECT_EQ(2u, w.m_v.size());
}

// Malformed input of any kind ends in one of the documented exceptions: never a crash, a hang
// or an allocation the input does not pay for (the sanitizer build checks the first and last).
TEST(YrMetaMsgpackReadTest, MutatedAndRandomInputOnlyThrowsDocumentedErrors)
{
    AllKinds a;
    a.m_string = "text";
    a.m_wstring = L"w\u20AC";
    a.m_bytes = ByteArray(std::string("bytes"));
    a.m_ints = {1, 300, -70000};
    a.m_inners = {Inner(1, 2)};
    const ByteArray wire = Encode(a);

    Utils::Random rnd(12345);
    int accepted = 0;
    int rejected = 0;
    auto tryRead = [&](const ByteArray& in)
    {
        AllKinds b;
        try
        {
            YrMeta::YrMetaMsgpackSerializer::Deserialize(b, in);
            ++accepted;
        }
        catch (const ESS::Exception&)
        {
            ++rejected;
        }
        catch (const msgpack::unpack_error&)
        {
            ++rejected;
        }
        catch (const msgpack::type_error&)
        {
            ++rejected;
        }
    };

    for (std::uint64_t cut = 0; cut < wire.Size(); ++cut)
    {
        tryRead(cut == 0 ? ByteArray() : ByteArray(wire.Data(), cut));
    }
    for (int i = 0; i < 3000; ++i)
    {
        ByteArray m(wire.Data(), wire.Size());
        const int flips = 1 + static_cast<int>(rnd.Next(4));
        for (int f = 0; f < flips; ++f)
        {
            m.MutableData()[rnd.Next(static_cast<std::uint32_t>(m.Size()))] =
                static_cast<std::uint8_t>(rnd.Next(256));
        }
        tryRead(m);
    }
    for (int i = 0; i < 2000; ++i)
    {
        std::vector<std::uint8_t> bytes(1 + rnd.Next(64));
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(rnd.Next(256));
        tryRead(Bytes(bytes));
    }
    EXPECT_EQ(wire.Size() + 5000, static_cast<std::uint64_t>(accepted + rejected));
    EXPECT_GT(rejected, 0);
}

} // namespace
