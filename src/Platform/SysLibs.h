#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>
#include <boost/noncopyable.hpp>
#include "ESS/CppLocation.h"

// The compiler's COM error class of the original platform, reduced to what the program reads:
// the HRESULT and its message text.
class _com_error
{
public:
    explicit _com_error(int32_t hr) : m_hr(hr) {}
    virtual ~_com_error() = default;

    int32_t Error() const { return m_hr; }
    // The system text of well-known codes, else "Unknown error 0x%08X".
    std::wstring ErrorMessage() const;

private:
    int32_t m_hr;
};

namespace Win32
{

typedef int32_t HRESULT;
typedef int32_t RO_INIT_TYPE;
typedef void* HSTRING;
typedef void* RO_REGISTRATION_COOKIE;
typedef HRESULT (*PFNGETACTIVATIONFACTORY)(HSTRING, void**);

const HRESULT c_coENotSupported = HRESULT(0x80004021u); // CO_E_NOT_SUPPORTED
const HRESULT c_eUnexpected = HRESULT(0x8000FFFFu);     // E_UNEXPECTED

// A failed COM call, with where it was raised. Thrown by value, caught as _com_error.
class COMError : public _com_error
{
public:
    COMError(HRESULT hr, const ESS::CppLocation& location) : _com_error(hr), m_location(location) {}

    const ESS::CppLocation& Location() const { return m_location; }

private:
    ESS::CppLocation m_location;
};

// One shared library loaded by name at run time (dlopen); freed by the destructor.
class DllLoader : boost::noncopyable
{
public:
    DllLoader(const std::wstring& name, uint32_t flags);
    virtual ~DllLoader();

    virtual bool IsLoaded() const;

    // Frees the library held, then loads the named one; false when nothing could be loaded.
    bool Load(const std::wstring& name, uint32_t flags);

    // The address of an exported function; null when not loaded or not exported.
    void* GetProcAddress(const std::string& function) const;

    const std::wstring& Name() const { return m_name; }

private:
    void Free();

    std::wstring m_name;
    void* m_module;
};

// A system library with a table of named functions resolved once at construction.
class WinSysDll : public DllLoader
{
public:
    WinSysDll(const std::vector<std::string>& functions, const std::wstring& name, uint32_t flags);
    ~WinSysDll() override;

    // Null when the function was not found (or the library is not loaded).
    void* Function(const std::string& name) const;

private:
    std::map<std::string, void*> m_functions;
};

// The Windows Runtime activation functions of COMBASE. Each operation fixes its function's
// address on its first call (from the object it is called on); a missing function throws
// COMError CO_E_NOT_SUPPORTED, a failing call COMError with its HRESULT.
class ComBaseDll : public WinSysDll
{
public:
    ComBaseDll();

    void RoInitialize(RO_INIT_TYPE initType) const;
    void RoRegisterActivationFactories(HSTRING* activatableClassIds,
                                       PFNGETACTIVATIONFACTORY* activationFactoryCallbacks, uint32_t count,
                                       RO_REGISTRATION_COOKIE* cookie) const;
    void RoRevokeActivationFactories(RO_REGISTRATION_COOKIE cookie) const;
    void RoUninitialize() const;

    // The same operations on an object that may be null (then the address found is null).
    static void RoInitialize(const ComBaseDll* p, RO_INIT_TYPE initType);
    static void RoRegisterActivationFactories(const ComBaseDll* p, HSTRING* activatableClassIds,
                                              PFNGETACTIVATIONFACTORY* activationFactoryCallbacks,
                                              uint32_t count, RO_REGISTRATION_COOKIE* cookie);
    static void RoRevokeActivationFactories(const ComBaseDll* p, RO_REGISTRATION_COOKIE cookie);
    static void RoUninitialize(const ComBaseDll* p);
};

class PropSysDll : public WinSysDll
{
public:
    PropSysDll();
};

class Shell32Dll : public WinSysDll
{
public:
    Shell32Dll();
};

// The COMBASE object of the system-library registry (filled by a deferred initialiser at
// start-up); null before that.
const ComBaseDll* ComBaseDllInstance();

} // namespace Win32

// The module's forwarding exports. No exception crosses them: a missing COMBASE or function gives
// CO_E_NOT_SUPPORTED, a COMBASE failure its HRESULT, any other exception E_UNEXPECTED; success
// codes other than 0 become 0.
extern "C"
{
    __attribute__((visibility("default"))) Win32::HRESULT RoInitialize(Win32::RO_INIT_TYPE initType);
    __attribute__((visibility("default"))) Win32::HRESULT
    RoRegisterActivationFactories(Win32::HSTRING* activatableClassIds,
                                  Win32::PFNGETACTIVATIONFACTORY* activationFactoryCallbacks, uint32_t count,
                                  Win32::RO_REGISTRATION_COOKIE* cookie);
    __attribute__((visibility("default"))) void
    RoRevokeActivationFactories(Win32::RO_REGISTRATION_COOKIE cookie);
    __attribute__((visibility("default"))) void RoUninitialize();
}
