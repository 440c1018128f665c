#include "MbProtocol/MbPacket.h"
#include <cstring>
#include <climits>
#include <cstdint>
#include <QByteArray>
#include <QDataStream>
#include "Utils/Crc32.h"
#include "Utils/StringUtils.h"

namespace MbProtocol
{

const YrLogV2::UserTag TagPacket(16, "packet");

namespace
{

const uint64_t c_dumpBytes = 16;
// Room behind the header for small commands, so that their fields do not regrow the buffer.
const uint64_t c_payloadReserve = 64;

void WriteCovered(QDataStream& s, const PackHeader& h)
{
    s << quint8(h.req) << quint8(h.noLog) << qint32(h.cmd) << qint32(h.contextToDispatch)
      << qint32(h.contextToReply) << qint32(h.ver);
}

QByteArray WriteHeader(const PackHeader& h, uint32_t length, uint32_t crc)
{
    QByteArray bytes;
    QDataStream s(&bytes, QIODevice::WriteOnly); // big-endian by default
    WriteCovered(s, h);
    s << quint32(length) << quint32(crc);
    return bytes;
}

std::string ShortTypeName(const std::string& rawName)
{
    const std::string pretty = Platform::PrettyTypeName(rawName.c_str());
    const size_t colon = pretty.rfind(':');
    return colon == std::string::npos ? pretty : pretty.substr(colon + 1);
}

} // namespace

uint64_t HeaderSize()
{
    static const uint64_t c_size = static_cast<uint64_t>(WriteHeader(PackHeader(), 0, 0).size());
    return c_size;
}

uint32_t CalcHeaderCrc(const PackHeader& header)
{
    QByteArray bytes;
    QDataStream s(&bytes, QIODevice::WriteOnly);
    WriteCovered(s, header);
    return Utils::Crc32(bytes.constData(), bytes.size(), 0xFFFFFFFF, true);
}

Utils::ByteArray SerializeHeader(const PackHeader& header, uint32_t length)
{
    const QByteArray bytes = WriteHeader(header, length, CalcHeaderCrc(header));
    return Utils::ByteArray(bytes.constData(), static_cast<uint64_t>(bytes.size()));
}

StreamPackHeader ParseHeader(const uint8_t* p)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(p), static_cast<int>(HeaderSize()));
    QDataStream s(bytes);
    quint8 req = 0, noLog = 0;
    qint32 cmd = 0, toDispatch = 0, toReply = 0, ver = 0;
    quint32 length = 0, crc = 0;
    s >> req >> noLog >> cmd >> toDispatch >> toReply >> ver >> length >> crc;

    StreamPackHeader h;
    h.req = req;
    h.noLog = noLog;
    h.cmd = cmd;
    h.contextToDispatch = toDispatch;
    h.contextToReply = toReply;
    h.ver = ver;
    h.length = length;
    h.crc = crc;
    return h;
}

Utils::ByteArray MakePacket(const PackHeader& header, const CommandObject& obj)
{
    const uint64_t headerSize = HeaderSize();
    Utils::ByteArray serealizedData(headerSize + c_payloadReserve, headerSize);
    // The encoder only reads the object; it takes it by non-const reference for its walk.
    YrMeta::YrMetaMsgpackSerializer::Serialize(const_cast<CommandObject&>(obj), serealizedData);

    const uint64_t length = serealizedData.Size() - headerSize;
    // A length that does not fit its field would make the peer cut the stream in the wrong places.
    ESS_ASSERT(length <= UINT32_MAX);
    const QByteArray headerBytes = WriteHeader(header, static_cast<uint32_t>(length), CalcHeaderCrc(header));
    ESS_ASSERT(static_cast<uint64_t>(headerBytes.size()) == HeaderSize());
    ESS_ASSERT(serealizedData.Size() >= HeaderSize());
    std::memcpy(serealizedData.MutableData(), headerBytes.constData(), headerSize);
    return serealizedData;
}

// ------------------------------------------------------------------------------------------------

Packet::Packet(uint32_t expectedVersion, const PackHeader& header, const Utils::ByteArray& payload,
               const CommandList& commands)
    : m_expectedVersion(expectedVersion), m_header(header), m_payload(payload)
{
    std::string reason;
    try
    {
        reason = Init(commands);
    }
    catch (const ESS::BaseException& e)
    {
        reason = Utils::WStringToStdString(e.Message());
    }
    catch (const std::exception& e)
    {
        reason = e.what();
    }
    if (!reason.empty())
        ThrowBadPacket(reason);
}

std::string Packet::Init(const CommandList& commands)
{
    if (commands.IsRequest() != (m_header.req != 0))
        return "Bad req/resp in packet";
    if (m_header.ver < 0 || static_cast<uint32_t>(m_header.ver) != m_expectedVersion)
        return "Bad version " + std::to_string(m_header.ver);
    const CommandId id(m_header.cmd);
    if (m_header.cmd < 0 || static_cast<uint64_t>(m_header.cmd) >= commands.Count())
        return "bad command";

    m_commandType = commands.GetInfo(id).m_typeName;
    m_data = commands.Create(id, m_payload);
    ESS_ASSERT(m_data);
    return std::string();
}

void Packet::ThrowBadPacket(const std::string& reason) const
{
    const std::string text = "Bad incoming packet " + ToString(true) + "; " + reason;
    ESS_THROW_MSG(BadIncomingPacket, Utils::LocaleStringToUnicode(text));
}

std::string Packet::ToString(const PackHeader& header, const Utils::ByteArray& payload,
                             const std::string& commandType, bool withData, bool payloadIncludesHeader)
{
    const uint64_t payloadOffset = payloadIncludesHeader ? HeaderSize() : 0;
    ESS_ASSERT(payloadOffset <= payload.Size());
    const uint64_t length = payload.Size() - payloadOffset;

    std::string s = "PACKET ";
    s += header.req != 0 ? "req" : "resp";
    s += " cmd = " + std::to_string(header.cmd);
    if (!commandType.empty())
        s += " [" + ShortTypeName(commandType) + "]";
    s += " contextToDispatch = " + std::to_string(header.contextToDispatch);
    s += " contextToReply = " + std::to_string(header.contextToReply);
    s += " ver = " + std::to_string(header.ver);
    s += " data[" + std::to_string(length) + "]";
    if (withData)
        s += " {" + (length == 0 ? std::string() : payload.ToString(c_dumpBytes, payloadOffset)) + "}";
    return s;
}

std::string Packet::ToString(bool withData) const
{
    return ToString(m_header, m_payload, m_commandType, withData, false);
}

void LogPacket(const Packet& packet, const std::string& prefix, const YrLogV2::Log& log, bool errorMode)
{
    std::string head = prefix;
    if (head.empty() || head.back() != ' ')
        head += ' ';

    if (errorMode)
    {
        if (log.Active(YrLogV2::Error))
            log.Add(YrLogV2::Error, "{}{}", head, packet.ToString(true));
        return;
    }
    if (log.Active(TagPacket))
        log.Add(TagPacket, "{}{}", head, packet.ToString(true));
    else if (log.Active(YrLogV2::Info))
        log.Add(YrLogV2::Info, "{}{}", head, packet.ToString(false));
}

} // namespace MbProtocol
