#include "Platform/SysLibs.h"

#include <cstdio>
#include <dlfcn.h>
#include "Utils/DelayInit.h"
#include "Utils/StringUtils.h"

namespace
{

struct HresultText
{
    uint32_t code;
    const wchar_t* text;
};

// The system's own texts for the codes this code base meets.
const HresultText c_hresultTexts[] = {
    {0x00000000u, L"The operation completed successfully."},
    {0x00000001u, L"Incorrect function."},
    {0x80004001u, L"Not implemented"},
    {0x80004005u, L"Unspecified error"},
    {0x80004021u, L"This operation is not supported"},
    {0x8000FFFFu, L"Catastrophic failure"},
    {0x80010106u, L"Cannot change thread mode after it is set."},
    {0x8007000Eu, L"Not enough memory resources are available to complete this operation."},
    {0x80070057u, L"The parameter is incorrect."},
};

} // namespace

std::wstring _com_error::ErrorMessage() const
{
    for (const HresultText& known : c_hresultTexts)
    {
        if (known.code == uint32_t(m_hr))
            return known.text;
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), "Unknown error 0x%08X", unsigned(m_hr));
    return Utils::WidenString(buf);
}

namespace Win32
{

DllLoader::DllLoader(const std::wstring& name, uint32_t flags) : m_module(nullptr)
{
    Load(name, flags);
}

DllLoader::~DllLoader()
{
    Free();
}

bool DllLoader::IsLoaded() const
{
    return m_module != nullptr;
}

void DllLoader::Free()
{
    if (m_module != nullptr)
    {
        dlclose(m_module);
    }
    m_module = nullptr;
    m_name.clear();
}

bool DllLoader::Load(const std::wstring& name, uint32_t /*flags*/)
{
    Free();
    // The Windows load flags have no counterpart; dlopen never shows a dialog either.
    void* h = dlopen(Utils::UnicodeToLocaleString(name).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr)
    {
        return false;
    }
    m_module = h;
    m_name = name;
    return true;
}

void* DllLoader::GetProcAddress(const std::string& function) const
{
    if (m_module == nullptr)
    {
        return nullptr;
    }
    return dlsym(m_module, function.c_str());
}

WinSysDll::WinSysDll(const std::vector<std::string>& functions, const std::wstring& name, uint32_t flags)
    : DllLoader(name, flags)
{
    for (const std::string& f : functions)
    {
        m_functions[f] = GetProcAddress(f);
    }
}

WinSysDll::~WinSysDll() = default;

void* WinSysDll::Function(const std::string& name) const
{
    auto it = m_functions.find(name);
    return (it == m_functions.end()) ? nullptr : it->second;
}

namespace
{

using RoInitializeFn = HRESULT (*)(RO_INIT_TYPE);
using RoRegisterActivationFactoriesFn = HRESULT (*)(HSTRING*, PFNGETACTIVATIONFACTORY*, uint32_t,
                                                    RO_REGISTRATION_COOKIE*);
using RoRevokeActivationFactoriesFn = void (*)(RO_REGISTRATION_COOKIE);
using RoUninitializeFn = void (*)();

void* FunctionOf(const ComBaseDll* p, const char* name)
{
    return (p == nullptr) ? nullptr : p->Function(name);
}

// Never destroyed: the libraries stay loaded until the process ends.
std::map<std::wstring, WinSysDll*>& Registry()
{
    static std::map<std::wstring, WinSysDll*>* const p = new std::map<std::wstring, WinSysDll*>();
    return *p;
}

void FillRegistry()
{
    std::map<std::wstring, WinSysDll*>& r = Registry();
    r[L"PROPSYS.DLL"] = new PropSysDll();
    r[L"SHELL32.DLL"] = new Shell32Dll();
    r[L"COMBASE.DLL"] = new ComBaseDll();
}

const Utils::DelayInitRegistrar g_registryInit(&FillRegistry, 0);

} // namespace

ComBaseDll::ComBaseDll()
    : WinSysDll({"RoGetActivationFactory", "RoRevokeActivationFactories", "RoRegisterActivationFactories",
                 "RoInitialize", "RoUninitialize", "RoActivateInstance", "WindowsCreateString",
                 "WindowsGetStringRawBuffer", "WindowsDeleteString", "WindowsStringHasEmbeddedNull",
                 "WindowsIsStringEmpty"},
                L"COMBASE.DLL", 0)
{
}

PropSysDll::PropSysDll() : WinSysDll({"PropVariantToString", "InitPropVariantFromCLSID"}, L"PROPSYS.DLL", 0)
{
}

Shell32Dll::Shell32Dll()
    : WinSysDll({"SetCurrentProcessExplicitAppUserModelID", "GetCurrentProcessExplicitAppUserModelID"},
                L"SHELL32.DLL", 0)
{
}

void ComBaseDll::RoInitialize(const ComBaseDll* p, RO_INIT_TYPE initType)
{
    static const RoInitializeFn fn = reinterpret_cast<RoInitializeFn>(FunctionOf(p, "RoInitialize"));
    if (fn == nullptr)
    {
        throw COMError(c_coENotSupported, ESS_LOCATION);
    }
    const HRESULT hr = fn(initType);
    if (hr < 0)
    {
        throw COMError(hr, ESS_LOCATION);
    }
}

void ComBaseDll::RoRegisterActivationFactories(const ComBaseDll* p, HSTRING* activatableClassIds,
                                               PFNGETACTIVATIONFACTORY* activationFactoryCallbacks,
                                               uint32_t count, RO_REGISTRATION_COOKIE* cookie)
{
    static const RoRegisterActivationFactoriesFn fn =
        reinterpret_cast<RoRegisterActivationFactoriesFn>(FunctionOf(p, "RoRegisterActivationFactories"));
    if (fn == nullptr)
    {
        throw COMError(c_coENotSupported, ESS_LOCATION);
    }
    const HRESULT hr = fn(activatableClassIds, activationFactoryCallbacks, count, cookie);
    if (hr < 0)
    {
        throw COMError(hr, ESS_LOCATION);
    }
}

void ComBaseDll::RoRevokeActivationFactories(const ComBaseDll* p, RO_REGISTRATION_COOKIE cookie)
{
    static const RoRevokeActivationFactoriesFn fn =
        reinterpret_cast<RoRevokeActivationFactoriesFn>(FunctionOf(p, "RoRevokeActivationFactories"));
    if (fn == nullptr)
    {
        throw COMError(c_coENotSupported, ESS_LOCATION);
    }
    fn(cookie);
}

void ComBaseDll::RoUninitialize(const ComBaseDll* p)
{
    static const RoUninitializeFn fn = reinterpret_cast<RoUninitializeFn>(FunctionOf(p, "RoUninitialize"));
    if (fn == nullptr)
    {
        throw COMError(c_coENotSupported, ESS_LOCATION);
    }
    fn();
}

void ComBaseDll::RoInitialize(RO_INIT_TYPE initType) const
{
    RoInitialize(this, initType);
}

void ComBaseDll::RoRegisterActivationFactories(HSTRING* activatableClassIds,
                                               PFNGETACTIVATIONFACTORY* activationFactoryCallbacks,
                                               uint32_t count, RO_REGISTRATION_COOKIE* cookie) const
{
    RoRegisterActivationFactories(this, activatableClassIds, activationFactoryCallbacks, count, cookie);
}

void ComBaseDll::RoRevokeActivationFactories(RO_REGISTRATION_COOKIE cookie) const
{
    RoRevokeActivationFactories(this, cookie);
}

void ComBaseDll::RoUninitialize() const
{
    RoUninitialize(this);
}

const ComBaseDll* ComBaseDllInstance()
{
    const std::map<std::wstring, WinSysDll*>& r = Registry();
    auto it = r.find(L"COMBASE.DLL");
    return (it == r.end()) ? nullptr : dynamic_cast<const ComBaseDll*>(it->second);
}

} // namespace Win32

extern "C"
{

    Win32::HRESULT RoInitialize(Win32::RO_INIT_TYPE initType)
    {
        try
        {
            Win32::ComBaseDll::RoInitialize(Win32::ComBaseDllInstance(), initType);
            return 0;
        }
        catch (const _com_error& e)
        {
            return e.Error();
        }
        catch (...)
        {
            return Win32::c_eUnexpected; // nothing may unwind into the host
        }
    }

    Win32::HRESULT RoRegisterActivationFactories(Win32::HSTRING* activatableClassIds,
                                                 Win32::PFNGETACTIVATIONFACTORY* activationFactoryCallbacks,
                                                 uint32_t count, Win32::RO_REGISTRATION_COOKIE* cookie)
    {
        try
        {
            Win32::ComBaseDll::RoRegisterActivationFactories(Win32::ComBaseDllInstance(), activatableClassIds,
                                                             activationFactoryCallbacks, count, cookie);
            return 0;
        }
        catch (const _com_error& e)
        {
            return e.Error();
        }
        catch (...)
        {
            return Win32::c_eUnexpected;
        }
    }

    void RoRevokeActivationFactories(Win32::RO_REGISTRATION_COOKIE cookie)
    {
        try
        {
            Win32::ComBaseDll::RoRevokeActivationFactories(Win32::ComBaseDllInstance(), cookie);
        }
        catch (...)
        {
            // No result to report through, and nothing may unwind into the host.
        }
    }

    void RoUninitialize()
    {
        try
        {
            Win32::ComBaseDll::RoUninitialize(Win32::ComBaseDllInstance());
        }
        catch (...)
        {
        }
    }
}
