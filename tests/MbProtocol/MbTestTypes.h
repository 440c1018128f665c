#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include "MbProtocol/MbProto.h"
#include "Utils/ByteArray.h"
#include "YrLogV2/LogOutput.h"
#include "YrMeta/YrMetaInfo.h"

namespace MbTest
{

// The self-test's command shape: a number and a payload.
class TestPacket : public MbProtocol::CommandObject
{
public:
    TestPacket() = default;
    TestPacket(int num, const Utils::ByteArray& payload) : m_packetNum(num), m_payload(payload) {}

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField<int>(*info, "m_packetNum", &m_packetNum);
        YrMeta::Info::AddField(*info, "m_payload", &m_payload);
        return info;
    }

    int m_packetNum = 0;
    Utils::ByteArray m_payload;
};

// No fields: its payload is empty.
class Ping : public MbProtocol::CommandObject
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        return boost::shared_ptr<YrMeta::Info>(new YrMeta::Info(this));
    }
};

// Registered with noLog.
class Quiet : public MbProtocol::CommandObject
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField<int>(*info, "m_v", &m_v);
        return info;
    }

    int m_v = 0;
};

// In no list.
class Unlisted : public MbProtocol::CommandObject
{
public:
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField<int>(*info, "m_v", &m_v);
        return info;
    }

    int m_v = 0;
};

class RequestList : public MbProtocol::CommandList
{
public:
    RequestList() : CommandList(true)
    {
        Add<TestPacket>(false);
        Add<Ping>(false);
        Add<Quiet>(true);
    }
};

class RespList : public MbProtocol::CommandList
{
public:
    RespList() : CommandList(false)
    {
        Add<TestPacket>(false);
        Add<Ping>(false);
        Add<Quiet>(true);
    }
};

using Proto = MbProtocol::MbProto<1, RequestList, RespList>;

inline Utils::ByteArray Bytes(const std::vector<uint8_t>& bytes)
{
    return bytes.empty() ? Utils::ByteArray() : Utils::ByteArray(bytes.data(), bytes.size());
}

inline std::vector<uint8_t> Vec(const Utils::ByteArray& ba)
{
    return ba.IsEmpty() ? std::vector<uint8_t>() : std::vector<uint8_t>(ba.Data(), ba.Data() + ba.Size());
}

inline Utils::ByteArray Slice(const Utils::ByteArray& ba, uint64_t from, uint64_t count)
{
    return Utils::ByteArray(ba.Data() + from, count);
}

inline Utils::ByteArray Join(const std::vector<Utils::ByteArray>& parts)
{
    Utils::ByteArray res;
    for (const Utils::ByteArray& p : parts)
        res.Append(p, true);
    return res;
}

// Catches the records of the nodes below "MbTest", shown down to level 16 (or less).
class LogCapture
{
public:
    explicit LogCapture(int level = 16) : m_parent(YrLogV2::LogRoot::RootLog(), "MbTest")
    {
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {{"MbTest", level}});
        m_out = std::make_shared<YrLogV2::MemoryOutput>();
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
    }

    ~LogCapture()
    {
        m_link.reset();
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {});
    }

    YrLogV2::Log& Parent() { return m_parent; }

    // Records of node "MbTest.<child>" as "tag: text".
    std::vector<std::string> Records(const std::string& child) const
    {
        std::vector<std::string> res;
        for (const YrLogV2::LogRecord& r : m_out->Records())
            if (r.node == "MbTest." + child)
                res.push_back(r.tag + ": " + r.text);
        return res;
    }

    int CountStarting(const std::string& child, const std::string& start) const
    {
        int n = 0;
        for (const std::string& r : Records(child))
            n += r.rfind(start, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    YrLogV2::Log m_parent;
    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

} // namespace MbTest
