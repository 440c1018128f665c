#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include "ESS/Exception.h"
#include "YrMeta/TypedCall.h"
#include "YrMeta/YrMetaDispatcher.h"
#include "YrMetaTestTypes.h"

// Members whose field types are broken on purpose: the walk's guards must catch each.
struct NullObjectMember
{
    int m_unused;
};
struct NullArrayMember
{
    int m_unused;
};
struct NoAccessMember
{
    int m_unused;
};
struct NoEnumInfoMember
{
    int m_unused;
};
struct BadKindMember
{
    int m_unused;
};

namespace YrMeta
{
namespace detail
{

template <>
struct FieldTypeOf<NullObjectMember>
{
    static ObjectBase* None(void*) { return nullptr; }
    static FieldType Make() { return FieldType::MakeObject(&None, "null object"); }
};

template <>
struct FieldTypeOf<NullArrayMember>
{
    static boost::shared_ptr<IArray> None(void*) { return boost::shared_ptr<IArray>(); }
    static FieldType Make()
    {
        return FieldType::MakeVector(boost::make_shared<FieldType>(FieldType::tInt), &None, "null array");
    }
};

template <>
struct FieldTypeOf<NoAccessMember>
{
    static FieldType Make() { return FieldType::MakeObject(FieldType::ObjectAccess(), "no access"); }
};

template <>
struct FieldTypeOf<NoEnumInfoMember>
{
    static FieldType Make()
    {
        return FieldType::MakeSmartEnum(boost::make_shared<EnumMetaInfo>(), "no conversion");
    }
};

template <>
struct FieldTypeOf<BadKindMember>
{
    static FieldType Make()
    {
        FieldType ft(FieldType::tInt);
        ft.m_kind = static_cast<FieldType::Type>(17);
        return ft;
    }
};

} // namespace detail
} // namespace YrMeta

namespace
{

using namespace YrMetaTest;
using ::testing::HasSubstr;
using YrMeta::FieldType;

// Writes down every handler call of a walk.
class Recorder
{
public:
    std::vector<std::string> m_calls;

    void Process(bool* p) { Add("bool", *p); }
    void Process(std::uint8_t* p) { Add("u8", *p); }
    void Process(short* p) { Add("short", *p); }
    void Process(int* p) { Add("int", *p); }
    void Process(std::int64_t* p) { Add("i64", *p); }
    void Process(std::uint16_t* p) { Add("u16", *p); }
    void Process(std::uint32_t* p) { Add("u32", *p); }
    void Process(std::uint64_t* p) { Add("u64", *p); }
    void Process(float* p) { Add("float", *p); }
    void Process(double* p) { Add("double", *p); }
    void Process(std::string* p) { m_calls.push_back("string " + *p); }
    void Process(std::wstring* p) { m_calls.push_back("wstring " + std::to_string(p->size())); }
    void Process(Utils::ByteArray* p) { Add("bytes", p->Size()); }
    void Process(YrMeta::EnumValue* p) { Add("enum", p->value); }
    void Process(YrMeta::SmartEnum* p) { m_calls.push_back("smart " + p->ToString()); }

    void VectorBegin(YrMeta::DispatchedVector& v)
    {
        m_calls.push_back("vector " + v.m_pField->m_name + " " + std::to_string(v.m_vector->Size()));
    }

private:
    template <class T>
    void Add(const char* what, T v)
    {
        m_calls.push_back(std::string(what) + " " + std::to_string(v));
    }
};

// How the halt report frames an assertion's text.
std::string Reported(const std::string& text)
{
    return ">>>\n" + text + "\n<<<";
}

template <class T>
std::vector<std::string> Walk(T& obj)
{
    Recorder r;
    YrMeta::DispatchMeta(&obj, r, true);
    return r.m_calls;
}

class Empty : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        return boost::shared_ptr<YrMeta::Info>(new YrMeta::Info(this));
    }
};

// Fields added in an order other than their order in memory.
class Reordered : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    int m_first = 1;
    int m_second = 2;
    int m_hidden = 99; // not described: never visited

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_second", &m_second);
        YrMeta::Info::AddField(*info, "m_first", &m_first);
        return info;
    }
};

// A described base class; the derived description names it as its base.
class Derived : public Inner
{
public:
    std::string m_text = "own";

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        info->SetBase(Inner(0, 0).MetaInfo());
        YrMeta::Info::AddField(*info, "m_text", &m_text);
        return info;
    }
};

// The ObjectBase part is not at the start of the object.
class Padding
{
public:
    virtual ~Padding() = default;
    char m_pad[24] = {};
};

class SecondBase : public Padding, public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    int m_value = 0;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_value", &m_value);
        return info;
    }
};

class Counted : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    static std::atomic<int> s_created;
    int m_x = 0;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        ++s_created;
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_x", &m_x);
        return info;
    }
};
std::atomic<int> Counted::s_created(0);

// A class whose vector holds its own kind: the walk's depth follows the data.
class Node : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    int m_id = 0;
    std::vector<Node> m_children;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_id", &m_id);
        YrMeta::Info::AddField(*info, "m_children", &m_children);
        return info;
    }
};

// Used by one test only, so that its threads find the cache without it.
class Raced : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    std::int64_t m_y = 0;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_y", &m_y);
        return info;
    }
};

// One member of type T whose field type is one of the broken ones above.
template <class T>
class Broken : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_member", &m_member);
        return info;
    }

    T m_member = T();
};

class NoInfo : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override { return boost::shared_ptr<YrMeta::Info>(); }
};

class Stranger : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        static int s_elsewhere;
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "s_elsewhere", &s_elsewhere);
        return info;
    }
};

TEST(YrMetaInfoTest, DescriptionOfTheSelfTestPacket)
{
    TestPacket p;
    boost::shared_ptr<const YrMeta::Info> info = p.MetaInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ("YrMetaTest::TestPacket", info->RawTypeName());
    EXPECT_EQ("YrMetaTest::TestPacket", info->TypeName());
    EXPECT_FALSE(info->Base());
    ASSERT_EQ(2u, info->Fields().size());
    EXPECT_EQ("m_packetNum", info->Fields()[0].m_name);
    EXPECT_EQ(3, info->Fields()[0].m_type.m_kind);
    EXPECT_EQ(reinterpret_cast<const char*>(&p.m_packetNum) - reinterpret_cast<const char*>(&p),
              static_cast<std::ptrdiff_t>(info->Fields()[0].m_offset));
    EXPECT_EQ("m_payload", info->Fields()[1].m_name);
    EXPECT_EQ(12, info->Fields()[1].m_type.m_kind);
    EXPECT_FALSE(p.ExtraFlag());
}

TEST(YrMetaInfoTest, KindsOfEveryMemberType)
{
    AllKinds a;
    boost::shared_ptr<const YrMeta::Info> info = a.MetaInfo();
    const auto& f = info->Fields();
    ASSERT_EQ(18u, f.size());
    for (int kind = 0; kind <= 14; ++kind)
    {
        EXPECT_EQ(kind, f[kind].m_type.m_kind) << f[kind].m_name;
    }
    EXPECT_EQ(FieldType::tObject, f[15].m_type.m_kind);
    EXPECT_EQ(FieldType::tVector, f[16].m_type.m_kind);
    EXPECT_EQ(FieldType::tInt, f[16].m_type.m_elementType->m_kind);
    EXPECT_EQ(FieldType::tObject, f[17].m_type.m_elementType->m_kind);
    EXPECT_TRUE(f[14].m_type.m_enumInfo);
    EXPECT_EQ("YrMetaTest::Inner", f[15].m_type.m_typeText);
}

TEST(YrMetaInfoTest, OneSharedDescriptionPerClass)
{
    const int before = Counted::s_created;
    Counted a, b;
    boost::shared_ptr<const YrMeta::Info> ia = a.MetaInfo();
    boost::shared_ptr<const YrMeta::Info> ib = b.MetaInfo();
    EXPECT_EQ(ia.get(), ib.get());
    EXPECT_EQ("(anonymous namespace)::Counted", ia->RawTypeName());
    EXPECT_EQ(ia.get(), YrMeta::DefaultMetaCache::Get(ia->RawTypeName()).get());
    EXPECT_LE(Counted::s_created - before, 1);

    // A second description of a stored class does not replace the first.
    YrMeta::DefaultMetaCache::Put(a.CreateInfo());
    EXPECT_EQ(ia.get(), Counted().MetaInfo().get());
    EXPECT_FALSE(YrMeta::DefaultMetaCache::Get("no such class"));
}

TEST(YrMetaInfoTest, ThreadsMissingTogetherAllGetAUsableDescription)
{
    std::vector<std::thread> threads;
    std::atomic<int> bad(0);
    for (int i = 0; i < 8; ++i)
    {
        threads.emplace_back(
            [&bad]
            {
                Raced c;
                for (int k = 0; k < 50; ++k)
                {
                    boost::shared_ptr<const YrMeta::Info> info = c.MetaInfo();
                    if (!info || info->Fields().size() != 1)
                        ++bad;
                }
            });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, bad.load());
}

TEST(YrMetaDispatchTest, NoFieldsNoCalls)
{
    Empty e;
    EXPECT_TRUE(Walk(e).empty());
}

TEST(YrMetaDispatchTest, DescriptionOrderNotMemoryOrder)
{
    Reordered r;
    EXPECT_EQ((std::vector<std::string>{"int 2", "int 1"}), Walk(r));
}

TEST(YrMetaDispatchTest, BaseFieldsFirstAndOnlyWithBase)
{
    Derived d;
    d.m_a = 4;
    d.m_b = 5;
    EXPECT_EQ((std::vector<std::string>{"int 4", "short 5", "string own"}), Walk(d));

    Recorder r;
    YrMeta::DispatchMeta(&d, r, false);
    EXPECT_EQ((std::vector<std::string>{"string own"}), r.m_calls);
}

TEST(YrMetaDispatchTest, OffsetsCountFromTheObjectBasePart)
{
    SecondBase s;
    s.m_value = 31;
    EXPECT_EQ((std::vector<std::string>{"int 31"}), Walk(s));
    YrMeta::Clear(&s);
    EXPECT_EQ(0, s.m_value);
}

TEST(YrMetaDispatchTest, NestedObjectsAndVectorsInPlace)
{
    AllKinds a;
    a.m_bool = true;
    a.m_smart = VdiCommon::SendDataRes::Ok;
    a.m_inner = Inner(8, 9);
    a.m_ints = {1, 2};
    a.m_inners = {Inner(3, 4)};
    const std::vector<std::string> calls = Walk(a);
    const std::vector<std::string> tail(calls.begin() + 14, calls.end());
    EXPECT_EQ((std::vector<std::string>{"smart Ok", "int 8", "short 9", "vector m_ints 2", "int 1", "int 2",
                                        "vector m_inners 1", "int 3", "short 4"}),
              tail);
    EXPECT_EQ("bool 1", calls[0]);

    a.m_ints.clear();
    a.m_inners.clear();
    const std::vector<std::string> empty = Walk(a);
    EXPECT_EQ("vector m_ints 0", empty[empty.size() - 2]);
    EXPECT_EQ("vector m_inners 0", empty.back());
}

TEST(YrMetaDispatchTest, NestingIsBounded)
{
    Node root;
    Node* p = &root;
    for (int i = 0; i < 40; ++i)
    {
        p->m_children.resize(1);
        p = &p->m_children[0];
    }
    EXPECT_NO_THROW(Encode(root));
    for (int i = 0; i < 40; ++i)
    {
        p->m_children.resize(1);
        p = &p->m_children[0];
    }
    EXPECT_THROW(Encode(root), ESS::Exception);

    // Input that nests without end is refused, not followed down the stack.
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 100000; ++i)
    {
        bytes.insert(bytes.end(), {0x03, 0x00, 0x0F, 0x01});
    }
    Node n;
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(n, Bytes(bytes));
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"Reflected objects nested deeper than 64 levels", e.Message());
    }

    // The deepest chain the walk allows reads; one level more is refused before the reader adds
    // that level, so that what it did read can still be written.
    auto chain = [](int levels)
    {
        std::vector<std::uint8_t> b;
        for (int i = 1; i < levels; ++i)
            b.insert(b.end(), {0x03, 0x00, 0x0F, 0x01});
        b.insert(b.end(), {0x03, 0x00, 0x0F, 0x00});
        return Bytes(b);
    };
    Node deepest;
    YrMeta::YrMetaMsgpackSerializer::Deserialize(deepest, chain(64));
    EXPECT_EQ(Hex(chain(64)), Hex(Encode(deepest)));
    Node tooDeep;
    EXPECT_THROW(YrMeta::YrMetaMsgpackSerializer::Deserialize(tooDeep, chain(65)), ESS::Exception);
    EXPECT_EQ(Hex(chain(64)), Hex(Encode(tooDeep)));
}

TEST(YrMetaDeathTest, BrokenDescriptionsHalt)
{
    Recorder r;
    EXPECT_EXIT(YrMeta::DispatchMeta(static_cast<YrMeta::ObjectBase*>(nullptr), r, true),
                ::testing::ExitedWithCode(3), HasSubstr(Reported("pObj != 0")));
    EXPECT_EXIT(NoInfo().MetaInfo(), ::testing::ExitedWithCode(3), HasSubstr(Reported("p != 0")));
    EXPECT_EXIT(FieldType(FieldType::tEnum), ::testing::ExitedWithCode(3), HasSubstr(Reported("t != tEnum")));
    EXPECT_EXIT(FieldType(FieldType::tVector), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("TypeIsSimple(t)")));
    EXPECT_EXIT(Stranger().MetaInfo(), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("info.MemberInsideObject(pMember, sizeof(T))")));
    EXPECT_EXIT(YrMeta::DefaultMetaCache::Put(boost::shared_ptr<const YrMeta::Info>()),
                ::testing::ExitedWithCode(3), HasSubstr(Reported("info")));
}

TEST(YrMetaDeathTest, BrokenFieldTypesHalt)
{
    Recorder r;
    Broken<NullObjectMember> nullObject;
    EXPECT_EXIT(YrMeta::DispatchMeta(&nullObject, r, true), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("pObj && info")));
    Broken<NullArrayMember> nullArray;
    EXPECT_EXIT(YrMeta::DispatchMeta(&nullArray, r, true), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("arr != 0")));
    Broken<NoAccessMember> noAccess;
    EXPECT_EXIT(YrMeta::DispatchMeta(&noAccess, r, true), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("boost::bad_function_call")));
    Broken<NoEnumInfoMember> noEnumInfo;
    EXPECT_EXIT(YrMeta::DispatchMeta(&noEnumInfo, r, true), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("boost::bad_function_call")));
    Broken<BadKindMember> badKind;
    EXPECT_EXIT(YrMeta::DispatchMeta(&badKind, r, true), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("false && \"Bad type\"")));
    EXPECT_TRUE(r.m_calls.empty());
}

TEST(YrMetaDeathTest, VectorBeginWithoutArrayHalts)
{
    YrMeta::DispatchedVector v = {nullptr, nullptr, boost::shared_ptr<YrMeta::IArray>(), true};

    Utils::ByteArray out;
    YrMeta::MsgPackSerializer s(out);
    YrMeta::YrMetaSerializationProcessor<YrMeta::YrSerializer<YrMeta::MsgPackSerializer>> writer(s);
    EXPECT_EXIT(writer.VectorBegin(v), ::testing::ExitedWithCode(3), HasSubstr(Reported("v.m_vector")));

    const Utils::ByteArray in = Bytes({0x0F, 0x00});
    YrMeta::MsgPackDeserializer d(in);
    YrMeta::YrMetaSerializationProcessor<YrMeta::YrDeserializer<YrMeta::MsgPackDeserializer>> reader(d);
    EXPECT_EXIT(reader.VectorBegin(v), ::testing::ExitedWithCode(3), HasSubstr(Reported("v.m_vector")));

    YrMeta::YrMetaObjectClearProcessor clear;
    EXPECT_EXIT(clear.VectorBegin(v), ::testing::ExitedWithCode(3), HasSubstr(Reported("v.m_vector")));
}

TEST(YrMetaDeathTest, KindWithoutHandlerHalts)
{
    Recorder r;
    YrMeta::TypedCallField<Recorder> call(r);
    int v = 0;
    call.Dispatch(FieldType::tInt, &v);
    EXPECT_EQ((std::vector<std::string>{"int 0"}), r.m_calls);
    EXPECT_EXIT(call.Dispatch(FieldType::tVector, &v), ::testing::ExitedWithCode(3),
                HasSubstr(Reported("Can't dispatch type 15")));
}

} // namespace
