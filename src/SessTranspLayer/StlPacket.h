#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "Utils/ByteArray.h"
#include "YrMeta/SmartEnum.h"

namespace SessTranspLayer
{

// The command of a session packet. On the wire it is a raw 16-bit number, so a received
// packet may carry a value outside this table.
YRMETA_SMART_ENUM(StlCmd, (cmdConnect, 0), (cmdConnected, 1), (cmdDisc, 2), (cmdDisconnected, 3),
                  (cmdPing, 4), (cmdPong, 5), (cmdData, 6), (nonInitialize, 7));

// Wire layout: a 32-byte big-endian header, then the payload.
const uint32_t c_stlMagic = 0x45006FA9;
const uint32_t c_stlHeaderSize = 32;
// Largest payload a header may announce. Real frames are a few KiB; without a bound a header
// with a valid CRC (any peer can compute one) could make the receiver buffer up to 4 GiB.
const uint64_t c_stlMaxPayload = 16 * 1024 * 1024;

struct StlPacket
{
    uint32_t m_magic;
    uint64_t m_srcId;
    uint32_t m_sessionId;
    uint16_t m_packNum;
    // The raw command value: only its low 16 bits travel, and any value may arrive.
    uint32_t m_cmd;
    uint32_t m_dataSize;
    uint32_t m_dataCrc;   // CRC-32 of m_data, 0 for an empty payload
    uint32_t m_headerCrc; // set by the parser only
    Utils::ByteArray m_data;

    // Shares data's buffer; the payload CRC is computed here, once.
    StlPacket(uint64_t srcId, uint32_t sessionId, uint16_t packNum, StlCmd cmd, const Utils::ByteArray& data);

    // "Cmd:<name>, SessionId:<id>, num:<n>, sz:<size>"; an unknown command shows as "<n>(Can`t resolve)".
    std::string ToString() const;

    // Header and payload.
    uint64_t WireSize() const { return c_stlHeaderSize + uint64_t(m_dataSize); }

    // Only the parser makes packets from the wire, with its fields still to be filled.
    class ParsedKey
    {
        friend class StlPacketSerializer;
        ParsedKey() = default;
    };
    explicit StlPacket(ParsedKey);
};

// Turns packets into bytes and recovers them from a byte stream cut into arbitrary pieces.
//
// A hostile peer can make resynchronisation drop one byte per call through megabytes of false
// starts, so every call costs O(1) amortised beyond the bytes it is given: consumed bytes are
// skipped by a read offset (the buffer is compacted only when that pays for itself), the search
// for a magic never rescans bytes already searched, and what is known of the header under the
// current magic (rejected, or waiting for its payload) is kept until that magic is consumed.
class StlPacketSerializer
{
public:
    // The packet's wire bytes; needs no serializer state.
    static Utils::ByteArray Serialize(const StlPacket& p);
    // The packet's c_stlHeaderSize header bytes, header CRC included, written to pOut.
    static void WriteHeader(const StlPacket& p, uint8_t* pOut);

    // Appends data (must not be null) to the buffer and returns at most one complete, valid
    // packet. Further complete packets stay buffered: call again with an empty, non-null array
    // (ByteArray(0, 0)) while a call returns a packet or shortens the buffer.
    std::unique_ptr<StlPacket> ProcessData(const Utils::ByteArray& data);

    // Forgets every buffered byte.
    void Reset();

    // Bytes received and not yet consumed.
    uint64_t BufferedSize() const { return m_buff.Size() - m_begin; }

    // Bytes searched, checked by CRC or moved inside the buffer since construction: the
    // parser's own work, which stays proportional to the bytes it was given.
    uint64_t WorkBytes() const { return m_work; }

private:
    // What is known of the header at the magic m_scanPos points to.
    enum HeaderState
    {
        hsUnknown,
        hsBadHeader,  // header CRC wrong or size beyond the bound
        hsGood,       // header valid; the payload is awaited or not yet checked
        hsBadPayload, // header valid, payload CRC wrong
    };

    // The steps of ProcessData, in order.
    std::unique_ptr<StlPacket> TakeWholeFrame(const Utils::ByteArray& data);
    void AppendToBuffer(const uint8_t* pData, uint64_t size);
    bool SeekMagic();
    void CheckHeader(const uint8_t* pHeader);
    bool CheckPayload(const uint8_t* pHeader);
    static std::unique_ptr<StlPacket> ReadPacket(const uint8_t* pFrame);

    const uint8_t* BufferData() const { return static_cast<const Utils::ByteArray&>(m_buff).Data(); }
    void DropFront(uint64_t count);
    void ForgetAll();
    uint32_t PayloadCrc(uint64_t begin, uint64_t end);
    void ExtendCrcMarks(uint64_t index);

    Utils::ByteArray m_buff;
    uint64_t m_begin = 0;   // bytes of m_buff before this offset are consumed
    uint64_t m_scanPos = 0; // no magic starts in [m_begin, m_scanPos)
    bool m_atMagic = false; // a magic starts at m_scanPos
    HeaderState m_header = hsUnknown;
    uint64_t m_packetSize = 0; // of the header at m_scanPos when it is hsGood or hsBadPayload
    // Set by a payload that failed its CRC, until the buffer runs empty. Headers nested in a
    // rejected payload can each announce most of the buffer: their payload CRCs are then taken
    // from running CRC marks instead of from every byte again.
    bool m_resync = false;
    std::vector<uint32_t> m_crcMarks; // CRC register over m_buff[0, i * step)
    uint64_t m_work = 0;
};

} // namespace SessTranspLayer
