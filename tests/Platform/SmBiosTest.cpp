#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include "ESS/Exception.h"
#include "Platform/SmBios.h"
#include "Utils/StringUtils.h"

namespace
{

// A raw SMBIOS table ({0, major, minor, revision, length} + structures) built piece by piece.
class TableBuilder
{
public:
    // A structure: type, formatted-area length (header included), the formatted bytes after the
    // 4-byte header (padded with zeros up to the length), then the string set.
    TableBuilder& Add(uint8_t type, uint8_t length, const std::vector<uint8_t>& formatted,
                      const std::vector<std::string>& strings)
    {
        const size_t start = m_table.size();
        m_table.push_back(type);
        m_table.push_back(length);
        m_table.push_back(0x34);
        m_table.push_back(0x12);
        m_table.insert(m_table.end(), formatted.begin(), formatted.end());
        while (m_table.size() < start + length)
            m_table.push_back(0);
        AddStrings(strings);
        return *this;
    }

    TableBuilder& AddStrings(const std::vector<std::string>& strings)
    {
        if (strings.empty())
            m_table.push_back(0);
        for (const std::string& s : strings)
        {
            m_table.insert(m_table.end(), s.begin(), s.end());
            m_table.push_back(0);
        }
        m_table.push_back(0);
        return *this;
    }

    TableBuilder& Raw(const std::vector<uint8_t>& bytes)
    {
        m_table.insert(m_table.end(), bytes.begin(), bytes.end());
        return *this;
    }

    TableBuilder& Cut(size_t count)
    {
        m_table.resize(m_table.size() - count);
        return *this;
    }

    // The raw form; lengthDelta changes the length field only.
    std::vector<uint8_t> Build(int64_t lengthDelta = 0) const
    {
        std::vector<uint8_t> raw = {0, 3, 4, 0};
        const uint32_t length = static_cast<uint32_t>(static_cast<int64_t>(m_table.size()) + lengthDelta);
        for (int i = 0; i < 4; ++i)
            raw.push_back(static_cast<uint8_t>(length >> (8 * i)));
        raw.insert(raw.end(), m_table.begin(), m_table.end());
        return raw;
    }

private:
    std::vector<uint8_t> m_table;
};

// A BIOS structure (type 0) with strings and an enclosure (type 3) without, as real tables have
// before the System Information structure.
TableBuilder Preamble()
{
    TableBuilder b;
    b.Add(0, 24, {1, 2, 0, 0xE8}, {"Vendor Inc.", "1.2.3", "01/02/2023"});
    b.Add(3, 22, {0, 1}, {});
    return b;
}

class SmBiosTest : public ::testing::Test
{
protected:
    void TearDown() override { Win32::SetFirmwareTableProvider(Win32::FirmwareTableFn()); }

    void UseTable(const std::vector<uint8_t>& raw)
    {
        m_raw = raw;
        Win32::SetFirmwareTableProvider(
            [this](uint32_t sig, uint32_t id, void* buf, uint32_t size) -> uint32_t
            {
                ++m_calls;
                EXPECT_EQ(Win32::c_firmwareTableRsmb, sig);
                EXPECT_EQ(0u, id);
                if (buf != nullptr && size >= m_raw.size())
                    std::memcpy(buf, m_raw.data(), m_raw.size());
                return static_cast<uint32_t>(m_raw.size());
            });
    }

    // The message of the exception the read raises; "" when it returns.
    static std::wstring ReadError()
    {
        try
        {
            Win32::GetSystemInfoImpl();
        }
        catch (const ESS::Exception& e)
        {
            return e.Message();
        }
        return L"";
    }

    std::vector<uint8_t> m_raw;
    int m_calls = 0;
};

TEST_F(SmBiosTest, FirstStructureGivesTheFourStringsInOrder)
{
    UseTable(TableBuilder().Add(1, 8, {1, 2, 3, 4}, {"Maker", "Box", "1.0", "SN-42"}).Build());
    const Win32::SystemInfo info = Win32::GetSystemInfoImpl();
    EXPECT_EQ("Maker", info.manufacturer);
    EXPECT_EQ("Box", info.productName);
    EXPECT_EQ("1.0", info.version);
    EXPECT_EQ("SN-42", info.serialNumber);
    EXPECT_EQ(2, m_calls); // size, then data
}

TEST_F(SmBiosTest, StructuresBeforeAreSkippedAndStringNumbersAreFollowed)
{
    // A full-length type 1 (with UUID, wake-up type, SKU and family) after other structures,
    // referring to its strings out of order; another type 1 after it is not looked at.
    TableBuilder b = Preamble();
    b.Add(1, 27, {4, 3, 2, 1, 0xAA, 0xBB}, {"serial", "ver", "product", "maker", "sku"});
    b.Add(1, 8, {1, 1, 1, 1}, {"second"});
    b.Add(127, 4, {}, {});
    UseTable(b.Build());
    const Win32::SystemInfo info = Win32::GetSystemInfoImpl();
    EXPECT_EQ("maker", info.manufacturer);
    EXPECT_EQ("product", info.productName);
    EXPECT_EQ("ver", info.version);
    EXPECT_EQ("serial", info.serialNumber);
}

TEST_F(SmBiosTest, MalformedStructures)
{
    UseTable(TableBuilder().Add(1, 7, {1, 2, 3}, {"a", "b", "c"}).Build());
    EXPECT_EQ(L"invalid structure", ReadError());

    // The bad header of an earlier structure is found first.
    UseTable(TableBuilder().Add(2, 3, {}, {}).Add(1, 7, {1, 2, 3}, {"a"}).Build());
    EXPECT_EQ(L"invalid structure header", ReadError());
}

TEST_F(SmBiosTest, StringNumbersOutsideTheSet)
{
    UseTable(Preamble().Add(1, 8, {1, 2, 3, 0}, {"a", "b", "c", "d"}).Build());
    EXPECT_EQ(L"invalid string index 0 in System information structure", ReadError());

    UseTable(Preamble().Add(1, 8, {1, 2, 5, 4}, {"a", "b", "c", "d"}).Build());
    EXPECT_EQ(L"invalid string index 5 in System information structure", ReadError());

    UseTable(Preamble().Add(1, 8, {1, 1, 1, 1}, {}).Build());
    EXPECT_EQ(L"invalid string index 1 in System information structure", ReadError());
}

TEST_F(SmBiosTest, TablesWithoutSystemInformation)
{
    UseTable(Preamble().Build());
    EXPECT_EQ(L"System information not found", ReadError());

    UseTable(TableBuilder().Build());
    EXPECT_EQ(L"System information not found", ReadError());
}

TEST_F(SmBiosTest, TablesThatEndTooSoon)
{
    const std::vector<std::vector<uint8_t>> tables = {
        // The string set of the System Information structure runs past the end.
        Preamble().Add(1, 8, {1, 2, 3, 4}, {"a", "b", "c", "d"}).Cut(2).Build(),
        // The string set of an earlier structure never ends.
        TableBuilder().Add(0, 6, {}, {"abc"}).Cut(1).Build(),
        // One byte of a header.
        Preamble().Raw({1}).Build(),
        // A formatted area longer than what is left.
        Preamble().Raw({1, 8, 0, 0, 1, 2}).Build(),
        // A length field beyond the copied block, and a block shorter than the raw header.
        Preamble().Add(1, 8, {1, 2, 3, 4}, {"a", "b", "c", "d"}).Build(+1),
        std::vector<uint8_t>{0, 3, 4},
    };
    for (size_t i = 0; i < tables.size(); ++i)
    {
        UseTable(tables[i]);
        EXPECT_EQ(L"unexpected end of data", ReadError()) << i;
    }
}

TEST_F(SmBiosTest, LengthFieldBoundsTheWalkInsideTheBlock)
{
    // The block holds the whole structure, but the table as its length field states it ends one
    // byte before the last NUL of the string set: nothing past the stated end is read.
    UseTable(Preamble().Add(1, 8, {1, 2, 3, 4}, {"a", "b", "c", "d"}).Build(-1));
    EXPECT_EQ(L"unexpected end of data", ReadError());
}

// Every truncation and many random corruptions of a real-looking table: the read either gives
// the identity or one of the known texts, and never reads outside the copied block (the copy is
// exactly as large as the table, so the address sanitizer sees any read past it).
TEST_F(SmBiosTest, HostileTablesGiveOnlyKnownFailures)
{
    TableBuilder b = Preamble();
    b.Add(1, 27, {1, 2, 3, 4}, {"Maker", "Box", "1.0", "SN-42"});
    b.Add(2, 15, {1, 2}, {"Board", "B1"});
    b.Add(127, 4, {}, {});
    const std::vector<uint8_t> full = b.Build();

    const auto check = [this](const std::vector<uint8_t>& raw, const std::string& what)
    {
        UseTable(raw);
        const std::wstring err = ReadError();
        const bool known = err.empty() || err == L"invalid structure header" || err == L"invalid structure" ||
                           err == L"unexpected end of data" || err == L"System information not found" ||
                           err.rfind(L"invalid string index ", 0) == 0;
        EXPECT_TRUE(known) << what << ": " << Utils::WStringToStdString(err);
        return err;
    };

    // Cut anywhere (the length field follows the cut): the read succeeds exactly when the whole
    // string set of the type-1 structure is left.
    const size_t whole = Preamble().Add(1, 27, {1, 2, 3, 4}, {"Maker", "Box", "1.0", "SN-42"}).Build().size();
    for (size_t size = 8; size < full.size(); ++size)
    {
        std::vector<uint8_t> raw(full.begin(), full.begin() + size);
        const uint32_t length = static_cast<uint32_t>(size - 8);
        for (int i = 0; i < 4; ++i)
            raw[4 + i] = static_cast<uint8_t>(length >> (8 * i));
        const std::wstring err = check(raw, "cut at " + std::to_string(size));
        EXPECT_EQ(size >= whole, err.empty()) << size << ": " << Utils::WStringToStdString(err);
    }

    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> pos(8, full.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 1500; ++round)
    {
        std::vector<uint8_t> raw = full;
        const int changes = 1 + round % 3;
        for (int i = 0; i < changes; ++i)
            raw[pos(rng)] = static_cast<uint8_t>((round % 2 == 0) ? byte(rng) : 0);
        check(raw, "round " + std::to_string(round));
    }
}

TEST_F(SmBiosTest, QueryFailures)
{
    Win32::SetFirmwareTableProvider(
        [](uint32_t, uint32_t, void*, uint32_t) -> uint32_t
        {
            errno = ENOENT;
            return 0;
        });
    EXPECT_EQ(L"get size failed, error #2", ReadError());

    // The table grows between the two calls.
    int calls = 0;
    Win32::SetFirmwareTableProvider([&calls](uint32_t, uint32_t, void*, uint32_t) -> uint32_t
                                    { return (++calls == 1) ? 64 : 72; });
    EXPECT_EQ(L"get data failed", ReadError());
    EXPECT_EQ(2, calls);
}

TEST_F(SmBiosTest, ProviderIsReplacedAndRestored)
{
    UseTable(TableBuilder().Add(1, 8, {1, 1, 1, 1}, {"x"}).Build());
    const Win32::FirmwareTableFn prev = Win32::SetFirmwareTableProvider(Win32::FirmwareTableFn());
    EXPECT_FALSE(prev.empty());
    EXPECT_TRUE(Win32::SetFirmwareTableProvider(Win32::FirmwareTableFn()).empty());
}

TEST_F(SmBiosTest, SystemTableFromSysfs)
{
    EXPECT_EQ(0u, Win32::GetSystemFirmwareTable(0x41435049 /* ACPI */, 0, nullptr, 0));

    const bool present = access("/sys/firmware/dmi/tables/DMI", R_OK) == 0;
    errno = 0;
    const uint32_t size = Win32::GetSystemFirmwareTable(Win32::c_firmwareTableRsmb, 0, nullptr, 0);
    if (!present)
    {
        const int err = errno;
        EXPECT_EQ(0u, size);
        EXPECT_NE(0, err);
        // The reader makes its own query, so its error number is checked for form, not value.
        const std::wstring text = ReadError();
        const std::wstring prefix = L"get size failed, error #";
        ASSERT_EQ(0u, text.find(prefix)) << Utils::WStringToStdString(text);
        EXPECT_NE(L"0", text.substr(prefix.size()));
        return;
    }
    ASSERT_GE(size, 8u);
    std::vector<uint8_t> raw(size);
    ASSERT_EQ(size, Win32::GetSystemFirmwareTable(Win32::c_firmwareTableRsmb, 0, raw.data(), size));
    const uint32_t length = raw[4] | (raw[5] << 8) | (raw[6] << 16) | (static_cast<uint32_t>(raw[7]) << 24);
    EXPECT_EQ(size - 8, length);
}

} // namespace
