#pragma once
#include <cstdint>
#include <string>
#include <boost/function.hpp>

namespace Win32
{

// The machine's identity from the System Information structure (type 1) of the SMBIOS tables.
struct SystemInfo
{
    std::string manufacturer;
    std::string productName;
    std::string version;
    std::string serialNumber;
};

// Reads and walks the SMBIOS table. Every malformation, and a machine without SMBIOS data, is an
// ESS::Exception with a short text ("System information not found", "unexpected end of data", ...).
SystemInfo GetSystemInfoImpl();

// The provider signature of the raw SMBIOS table ("RSMB").
const uint32_t c_firmwareTableRsmb = 0x52534D42;

// The firmware-table query: copies the table (signature, id) into buffer when bufferSize is
// enough and returns its size; with too small a buffer (or none) returns the size needed; returns
// 0 with errno set on failure. The raw SMBIOS table is laid out as {calling method, major, minor,
// DMI revision, 32-bit little-endian length} followed by the structure table.
typedef boost::function<uint32_t(uint32_t signature, uint32_t tableId, void* buffer, uint32_t bufferSize)>
    FirmwareTableFn;

// The system's query: the raw SMBIOS table built from /sys/firmware/dmi/tables/DMI (versions from
// smbios_entry_point beside it). No other table is known.
uint32_t GetSystemFirmwareTable(uint32_t signature, uint32_t tableId, void* buffer, uint32_t bufferSize);

// Replaces the query that GetSystemInfoImpl uses (an empty function restores the system's);
// returns the one it replaces. For tests and machines without the sysfs tables.
FirmwareTableFn SetFirmwareTableProvider(const FirmwareTableFn& fn);

} // namespace Win32
