#pragma once
// Reflected classes and byte helpers shared by the YrMeta tests.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include "Utils/ByteArray.h"
#include "YrMeta/SendDataRes.h"
#include "YrMeta/YrMetaInfo.h"
#include "YrMeta/YrMetaMsgpackSerializer.h"
#include "YrMeta/YrMetaObject.h"
#include "YrMeta/YrMetaObjectClearProcessor.h"

namespace YrMetaTest
{

enum class Color : int
{
    Red = 1,
    Blue = -7,
};

YRMETA_SMART_ENUM(NoZero, (One, 1), (Two, 2));

// "A1 B2" style text of bytes, uppercase, blank-separated.
inline std::string Hex(const Utils::ByteArray& ba)
{
    std::string s;
    for (std::uint64_t i = 0; i < ba.Size(); ++i)
    {
        char buf[4];
        std::snprintf(buf, sizeof(buf), "%02X", ba.Data()[i]);
        if (!s.empty())
            s += ' ';
        s += buf;
    }
    return s;
}

inline Utils::ByteArray Bytes(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return Utils::ByteArray();
    return Utils::ByteArray(bytes.data(), bytes.size());
}

template <class T>
Utils::ByteArray Encode(T& obj)
{
    Utils::ByteArray out;
    YrMeta::YrMetaMsgpackSerializer::Serialize(obj, out);
    return out;
}

template <class T>
struct Initial
{
    static T Get() { return T(); }
};

template <>
struct Initial<VdiCommon::SendDataRes>
{
    static VdiCommon::SendDataRes Get() { return VdiCommon::SendDataRes::Failed; }
};

// One field of type T named "m_v".
template <class T>
class One : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    One() : m_v(Initial<T>::Get()) {}
    explicit One(const T& v) : m_v(v) {}

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_v", &m_v);
        return info;
    }

    T m_v;
};

// The packet of the shared-memory self-test: a number and a payload.
class TestPacket : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    TestPacket() { YrMeta::Clear(this); }

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField<int>(*info, "m_packetNum", &m_packetNum);
        YrMeta::Info::AddField(*info, "m_payload", &m_payload);
        return info;
    }

    int m_packetNum;
    Utils::ByteArray m_payload;
};

class Inner : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    Inner() : m_a(0), m_b(0) {}
    Inner(int a, short b) : m_a(a), m_b(b) {}

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_a", &m_a);
        YrMeta::Info::AddField(*info, "m_b", &m_b);
        return info;
    }

    int m_a;
    short m_b;
};

// Every kind, in kind order, then a nested object and two vectors.
class AllKinds : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    AllKinds() : m_smart(VdiCommon::SendDataRes::Ok) { YrMeta::Clear(this); }

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(info, "m_bool", &m_bool);
        YrMeta::Info::AddField(info, "m_u8", &m_u8);
        YrMeta::Info::AddField(info, "m_short", &m_short);
        YrMeta::Info::AddField(info, "m_int", &m_int);
        YrMeta::Info::AddField(info, "m_i64", &m_i64);
        YrMeta::Info::AddField(info, "m_u16", &m_u16);
        YrMeta::Info::AddField(info, "m_u32", &m_u32);
        YrMeta::Info::AddField(info, "m_u64", &m_u64);
        YrMeta::Info::AddField(info, "m_float", &m_float);
        YrMeta::Info::AddField(info, "m_double", &m_double);
        YrMeta::Info::AddField(info, "m_string", &m_string);
        YrMeta::Info::AddField(info, "m_wstring", &m_wstring);
        YrMeta::Info::AddField(info, "m_bytes", &m_bytes);
        YrMeta::Info::AddField(info, "m_enum", &m_enum);
        YrMeta::Info::AddField(info, "m_smart", &m_smart);
        YrMeta::Info::AddField(info, "m_inner", &m_inner);
        YrMeta::Info::AddField(info, "m_ints", &m_ints);
        YrMeta::Info::AddField(info, "m_inners", &m_inners);
        return info;
    }

    bool m_bool;
    std::uint8_t m_u8;
    short m_short;
    int m_int;
    std::int64_t m_i64;
    std::uint16_t m_u16;
    std::uint32_t m_u32;
    std::uint64_t m_u64;
    float m_float;
    double m_double;
    std::string m_string;
    std::wstring m_wstring;
    Utils::ByteArray m_bytes;
    Color m_enum;
    VdiCommon::SendDataRes m_smart;
    Inner m_inner;
    std::vector<int> m_ints;
    std::vector<Inner> m_inners;
};

} // namespace YrMetaTest
