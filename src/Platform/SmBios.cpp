#include "Platform/SmBios.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>
#include <boost/noncopyable.hpp>
#include "ESS/Exception.h"
#include "Utils/StringUtils.h"

namespace Win32
{

namespace
{

const char* const c_dmiTablePath = "/sys/firmware/dmi/tables/DMI";
const char* const c_dmiEntryPointPath = "/sys/firmware/dmi/tables/smbios_entry_point";
const uint32_t c_rawHeaderSize = 8;

// The whole file; false with errno set when it cannot be read.
bool ReadWholeFile(const char* path, std::vector<uint8_t>& out)
{
    out.clear();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t buf[4096];
    while (true)
    {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n == 0)
            break;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            const int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        out.insert(out.end(), buf, buf + n);
    }
    close(fd);
    return true;
}

std::mutex& ProviderMutex()
{
    static std::mutex m;
    return m;
}

FirmwareTableFn& Provider()
{
    static FirmwareTableFn fn;
    return fn;
}

FirmwareTableFn CurrentProvider()
{
    std::lock_guard<std::mutex> lock(ProviderMutex());
    return Provider().empty() ? FirmwareTableFn(&GetSystemFirmwareTable) : Provider();
}

[[noreturn]] void Fail(const std::string& text, const ESS::CppLocation& location)
{
    ESS::Throw(ESS::Exception(Utils::StdStringToWString(text), location));
}

#pragma pack(push, 1)
// The part of the System Information structure (type 1) that is read here.
struct SystemInformationRec
{
    uint8_t type;
    uint8_t length;
    uint16_t handle;
    uint8_t manufacturer; // string numbers, counted from 1; 0: none
    uint8_t productName;
    uint8_t version;
    uint8_t serialNumber;
};
#pragma pack(pop)
static_assert(sizeof(SystemInformationRec) == 8, "SMBIOS type 1 up to the serial number");

// A copy of the raw table and the walk over its structures. Nothing is read outside the copy,
// whatever the table's contents.
class Smbios : boost::noncopyable
{
public:
    enum RecType : uint8_t
    {
        SystemInformation = 1,
    };

    Smbios()
    {
        const FirmwareTableFn query = CurrentProvider();
        errno = 0;
        const uint32_t size = query(c_firmwareTableRsmb, 0, nullptr, 0);
        if (size == 0)
            Fail("get size failed, error #" + std::to_string(errno), ESS_LOCATION);

        m_data.reset(static_cast<uint8_t*>(std::malloc(size)));
        if (!m_data)
            Fail("bad alloc", ESS_LOCATION);
        if (query(c_firmwareTableRsmb, 0, m_data.get(), size) != size)
            Fail("get data failed", ESS_LOCATION);

        // The length field must lie inside the copy and must not claim more than was copied.
        if (size < c_rawHeaderSize)
            Fail("unexpected end of data", ESS_LOCATION);
        uint32_t length = 0;
        for (int i = 3; i >= 0; --i)
            length = (length << 8) | m_data.get()[4 + i];
        if (length > size - c_rawHeaderSize)
            Fail("unexpected end of data", ESS_LOCATION);
        m_begin = m_data.get() + c_rawHeaderSize;
        m_end = m_begin + length;
    }

    // The first structure of that type, or null when there is none.
    template <class TRec>
    const TRec* Find(RecType type) const
    {
        const uint8_t* p = m_begin;
        while (p < m_end)
        {
            if (m_end - p < 2)
                Fail("unexpected end of data", ESS_LOCATION);
            const uint8_t length = p[1];
            if (length < 4)
                Fail("invalid structure header", ESS_LOCATION);
            if (length > m_end - p)
                Fail("unexpected end of data", ESS_LOCATION);
            if (p[0] == type)
            {
                if (length < sizeof(TRec))
                    Fail("invalid structure", ESS_LOCATION);
                return reinterpret_cast<const TRec*>(p);
            }
            p = SkipStrings(p + length);
        }
        return nullptr;
    }

    // The strings of the set that starts at start (right after a formatted area), in order.
    std::vector<std::string> SplitStrings(const uint8_t* start) const
    {
        std::vector<std::string> res;
        if (start >= m_end)
            Fail("unexpected end of data", ESS_LOCATION);
        if (*start == 0)
            return res;
        const uint8_t* s = start;
        while (true)
        {
            const uint8_t* nul = std::find(s, m_end, 0);
            if (nul == m_end)
                Fail("unexpected end of data", ESS_LOCATION);
            res.emplace_back(reinterpret_cast<const char*>(s), nul - s);
            s = nul + 1;
            if (s >= m_end)
                Fail("unexpected end of data", ESS_LOCATION);
            if (*s == 0)
                break;
        }
        return res;
    }

private:
    // Past the string set (ended by two NULs) that starts at p.
    const uint8_t* SkipStrings(const uint8_t* p) const
    {
        for (; m_end - p >= 2; ++p)
        {
            if (p[0] == 0 && p[1] == 0)
                return p + 2;
        }
        Fail("unexpected end of data", ESS_LOCATION);
    }

    struct FreeDeleter
    {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    std::unique_ptr<uint8_t, FreeDeleter> m_data;
    const uint8_t* m_begin = nullptr;
    const uint8_t* m_end = nullptr;
};

std::string StringAt(const std::vector<std::string>& strings, uint8_t number)
{
    if (number < 1 || number > strings.size())
    {
        Fail("invalid string index " + std::to_string(number) + " in System information structure",
             ESS_LOCATION);
    }
    return strings[number - 1];
}

} // namespace

SystemInfo GetSystemInfoImpl()
{
    const Smbios smbios;
    const SystemInformationRec* rec = smbios.Find<SystemInformationRec>(Smbios::SystemInformation);
    if (rec == nullptr)
        Fail("System information not found", ESS_LOCATION);

    const std::vector<std::string> strings =
        smbios.SplitStrings(reinterpret_cast<const uint8_t*>(rec) + rec->length);

    SystemInfo info;
    info.manufacturer = StringAt(strings, rec->manufacturer);
    info.productName = StringAt(strings, rec->productName);
    info.version = StringAt(strings, rec->version);
    info.serialNumber = StringAt(strings, rec->serialNumber);
    return info;
}

uint32_t GetSystemFirmwareTable(uint32_t signature, uint32_t tableId, void* buffer, uint32_t bufferSize)
{
    if (signature != c_firmwareTableRsmb || tableId != 0)
    {
        errno = ENOENT;
        return 0;
    }
    std::vector<uint8_t> table;
    if (!ReadWholeFile(c_dmiTablePath, table))
        return 0;
    if (table.size() > UINT32_MAX - c_rawHeaderSize)
    {
        errno = EFBIG;
        return 0;
    }
    const uint32_t total = static_cast<uint32_t>(table.size()) + c_rawHeaderSize;
    if (buffer == nullptr || bufferSize < total)
        return total;

    // The versions are only informative: a missing entry point leaves them 0.
    uint8_t header[c_rawHeaderSize] = {};
    std::vector<uint8_t> entry;
    if (ReadWholeFile(c_dmiEntryPointPath, entry))
    {
        if (entry.size() >= 24 && std::memcmp(entry.data(), "_SM3_", 5) == 0)
        {
            header[1] = entry[7];
            header[2] = entry[8];
            header[3] = entry[10];
        }
        else if (entry.size() >= 31 && std::memcmp(entry.data(), "_SM_", 4) == 0)
        {
            header[1] = entry[6];
            header[2] = entry[7];
            header[3] = entry[10];
        }
    }
    const uint32_t length = static_cast<uint32_t>(table.size());
    for (int i = 0; i < 4; ++i)
        header[4 + i] = static_cast<uint8_t>(length >> (8 * i));

    uint8_t* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, header, sizeof(header));
    if (!table.empty())
        std::memcpy(out + c_rawHeaderSize, table.data(), table.size());
    return total;
}

FirmwareTableFn SetFirmwareTableProvider(const FirmwareTableFn& fn)
{
    std::lock_guard<std::mutex> lock(ProviderMutex());
    FirmwareTableFn prev = Provider();
    Provider() = fn;
    return prev;
}

} // namespace Win32
