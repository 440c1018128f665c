#pragma once
// Reads arbitrary bytes into a few reflected classes and checks what the reader promises for any
// input: it fails only with its own exceptions, it never changes the input, and whatever it
// read, in full or up to the failure, is written again in a form that reads back to the same
// object. Shared by the libFuzzer target and by the test that replays the fuzzer's kept corpus.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>
#include <msgpack/object_fwd.hpp>
#include <msgpack/unpack_decl.hpp>
#include <msgpack/unpack_exception.hpp>
#include "ESS/Exception.h"
#include "YrMetaTestTypes.h"

namespace YrMetaFuzz
{

using YrMetaTest::Color;
using YrMetaTest::Inner;

// A class whose vector holds its own kind: how deep it nests is up to the input.
class Tree : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    Tree() { YrMeta::Clear(this); }

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_id", &m_id);
        YrMeta::Info::AddField(*info, "m_name", &m_name);
        YrMeta::Info::AddField(*info, "m_children", &m_children);
        return info;
    }

    int m_id;
    std::string m_name;
    std::vector<Tree> m_children;
};

// A vector of every element kind a vector can hold.
class Lists : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    Lists() { YrMeta::Clear(this); }

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_u8", &m_u8);
        YrMeta::Info::AddField(*info, "m_short", &m_short);
        YrMeta::Info::AddField(*info, "m_i64", &m_i64);
        YrMeta::Info::AddField(*info, "m_u16", &m_u16);
        YrMeta::Info::AddField(*info, "m_u32", &m_u32);
        YrMeta::Info::AddField(*info, "m_u64", &m_u64);
        YrMeta::Info::AddField(*info, "m_float", &m_float);
        YrMeta::Info::AddField(*info, "m_double", &m_double);
        YrMeta::Info::AddField(*info, "m_strings", &m_strings);
        YrMeta::Info::AddField(*info, "m_wstrings", &m_wstrings);
        YrMeta::Info::AddField(*info, "m_bytes", &m_bytes);
        YrMeta::Info::AddField(*info, "m_colors", &m_colors);
        YrMeta::Info::AddField(*info, "m_inners", &m_inners);
        return info;
    }

    std::vector<std::uint8_t> m_u8;
    std::vector<short> m_short;
    std::vector<std::int64_t> m_i64;
    std::vector<std::uint16_t> m_u16;
    std::vector<std::uint32_t> m_u32;
    std::vector<std::uint64_t> m_u64;
    std::vector<float> m_float;
    std::vector<double> m_double;
    std::vector<std::string> m_strings;
    std::vector<std::wstring> m_wstrings;
    std::vector<Utils::ByteArray> m_bytes;
    std::vector<Color> m_colors;
    std::vector<Inner> m_inners;
};

// The classes every input is read into, in this order; bit i of Outcome::m_accepted stands for
// the i-th.
enum TypeBit
{
    c_testPacket = 1 << 0,
    c_allKinds = 1 << 1,
    c_tree = 1 << 2,
    c_lists = 1 << 3,
};

struct Outcome
{
    std::string m_violation; // empty when every promise held
    unsigned m_accepted = 0; // the classes that read the whole input without an error
};

template <class T>
std::string CheckOne(const char* typeName, const Utils::ByteArray& in, bool& accepted)
{
    accepted = false;
    T obj;
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(obj, in);
        accepted = true;
    }
    // The reader's own failures; anything else leaves this function as a finding.
    catch (const ESS::Exception&)
    {
    }
    catch (const msgpack::unpack_error&)
    {
    }
    catch (const msgpack::type_error&)
    {
    }

    // What was read, whole or in part, is an object like any other: it writes, and what it
    // writes reads back to the same object.
    Utils::ByteArray wire;
    YrMeta::YrMetaMsgpackSerializer::Serialize(obj, wire);
    T again;
    try
    {
        YrMeta::YrMetaMsgpackSerializer::Deserialize(again, wire);
    }
    catch (const std::exception& e)
    {
        return std::string(typeName) + ": its own encoding does not read back: " + e.what();
    }
    Utils::ByteArray rewritten;
    YrMeta::YrMetaMsgpackSerializer::Serialize(again, rewritten);
    if (!(wire == rewritten))
    {
        return std::string(typeName) + ": encoding changed by a round trip: " + YrMetaTest::Hex(wire) +
               " / " + YrMetaTest::Hex(rewritten);
    }
    return std::string();
}

inline Outcome Check(const std::uint8_t* data, std::size_t size)
{
    static const std::uint8_t c_none = 0;
    const Utils::ByteArray in = (size == 0) ? Utils::ByteArray() : Utils::ByteArray(data, size);
    const std::vector<std::uint8_t> original(data, data + size);

    Outcome res;
    struct Step
    {
        std::string (*check)(const char*, const Utils::ByteArray&, bool&);
        const char* name;
        unsigned bit;
    };
    const Step steps[] = {
        {&CheckOne<YrMetaTest::TestPacket>, "TestPacket", c_testPacket},
        {&CheckOne<YrMetaTest::AllKinds>, "AllKinds", c_allKinds},
        {&CheckOne<Tree>, "Tree", c_tree},
        {&CheckOne<Lists>, "Lists", c_lists},
    };
    for (const Step& s : steps)
    {
        bool accepted = false;
        res.m_violation = s.check(s.name, in, accepted);
        if (!res.m_violation.empty())
            return res;
        if (accepted)
            res.m_accepted |= s.bit;
    }

    const std::uint8_t* now = in.IsNull() ? &c_none : in.Data();
    if (in.Size() != size || !std::equal(original.begin(), original.end(), now))
        res.m_violation = "the reader changed its input";
    return res;
}

} // namespace YrMetaFuzz
