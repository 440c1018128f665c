#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/types.h>
#include <boost/noncopyable.hpp>
#include "YrMeta/SmartEnum.h"

namespace Win32
{

// The well-known accounts the system recognises by their SID text.
YRMETA_SMART_ENUM(SpecialSid, (None, 0), (LocalSystem, 1));

// LocalSystem for exactly "S-1-5-18" or the SID text of root ("S-1-22-1-0"); None otherwise.
SpecialSid SpecialSidFromSidText(const std::wstring& sid);

// One block from the C heap, freed by the destructor.
class RaiiMalloc
{
public:
    explicit RaiiMalloc(size_t size);

    void* Get() const { return m_p.get(); }
    size_t Size() const { return m_size; }

private:
    std::unique_ptr<void, void (*)(void*)> m_p;
    size_t m_size;
};

// Query classes and records of ProcessToken::GetInformation.
enum : uint32_t
{
    TokenUserClass = 1,
    TokenGroupsAndPrivilegesClass = 13,
};

struct TOKEN_USER
{
    uint32_t uid; // the effective user
};

struct TOKEN_GROUPS_AND_PRIVILEGES
{
    uint64_t authenticationId; // the session id (the high part is always 0 here)
};

struct TokenUserInfo
{
    std::wstring authenticationId; // "{:x}-{:x}": high part, low part
    std::wstring account;
    std::wstring sid; // "S-1-22-1-" + uid
    SpecialSid kind = SpecialSid::None;
};

// The credentials of a process: a descriptor of its /proc directory, closed (and a failure logged)
// by the destructor.
class ProcessToken : boost::noncopyable
{
public:
    // process 0 is this process. Throws through ThrowLastError("OpenProcessToken").
    ProcessToken(pid_t process, uint32_t access);
    ~ProcessToken();

    // A filled record of the class; throws for an unknown class or a failed read.
    RaiiMalloc GetInformation(uint32_t infoClass) const;
    TokenUserInfo GetUserInfo() const;

    static std::wstring GetSid(const TOKEN_USER& user);
    static std::wstring GetAccountName(const TOKEN_USER& user);

    int Handle() const { return m_h; }

private:
    int m_h;
};

// close(h); a failure goes to the debug log as "CloseHandle() in '<context>' failed for h <h>: <text>".
void CloseHandleLogged(int h, const std::wstring& context);

// True when the path is the system folder ("/usr") or lies below it (whole path components).
bool IsUnderWindowsDirectory(const std::wstring& path);
// Runs as root, or the path is under the system folder.
bool IsSystemContext(const std::wstring& path);

} // namespace Win32

namespace Platform
{
// The generic data folder, or the temporary folder in a system context.
std::wstring GetDataRootPath();
} // namespace Platform
