#pragma once
#include <cstdint>
#include <string>
#include <boost/filesystem/path.hpp>
#include <boost/optional.hpp>

namespace Utils
{

// None of these throws; they report failure by their result.

// False for an empty path; true when anything exists there or the directory (with missing
// parents) could be created.
bool EnsureDirExists(const boost::filesystem::path& path);

// Bytes available to the caller on the path's volume; none when the query fails.
boost::optional<uint64_t> GetDiskFreeSpace(const boost::filesystem::path& path);

// True when fewer than limitKb * 1024 bytes are available; false when the query fails.
bool IsDiskSpaceLow(const boost::filesystem::path& path, uint64_t limitKb);

bool PathExists(const boost::filesystem::path& path);

// True when the file is gone afterwards (also when it never existed). An empty path is fatal.
// On failure *pError (when given) gets "Can't delete file: " + path + " // " + the system text.
bool RemoveFile(const boost::filesystem::path& filePath, std::wstring* pError = nullptr);

// The process-wide recursive lock that serialises the Qt message hook.
void LockQtMessageHook();
void UnlockQtMessageHook();

} // namespace Utils
