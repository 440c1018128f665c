#include "VdiCommon/AppPath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <QString>
#include "ESS/Assert.h"
#include "Platform/DebugOutput.h"
#include "Utils/StringUtils.h"

namespace VdiCommon
{
namespace AppPath
{

namespace
{

// The address whose module is "this module": any function of ours will do.
void AnchorFunction() {}

// The load address of an object: where its first loadable segment, which holds the ELF header,
// is mapped. The same value as dladdr's dli_fbase.
const void* ObjectBase(const dl_phdr_info& info)
{
    for (int i = 0; i < info.dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& ph = info.dlpi_phdr[i];
        if (ph.p_type == PT_LOAD)
            return reinterpret_cast<const void*>(info.dlpi_addr + ph.p_vaddr - ph.p_offset);
    }
    return nullptr;
}

struct FindByAddress
{
    uintptr_t addr;
    const void* base = nullptr;
};

int FindByAddressCb(dl_phdr_info* info, size_t, void* data)
{
    FindByAddress& f = *static_cast<FindByAddress*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        const uintptr_t from = info->dlpi_addr + ph.p_vaddr;
        if (f.addr >= from && f.addr < from + ph.p_memsz)
        {
            f.base = ObjectBase(*info);
            return 1;
        }
    }
    return 0;
}

struct FindByBase
{
    const void* base;
    bool found = false;
    std::string name;
};

int FindByBaseCb(dl_phdr_info* info, size_t, void* data)
{
    FindByBase& f = *static_cast<FindByBase*>(data);
    if (ObjectBase(*info) != f.base)
        return 0;
    f.found = true;
    f.name = (info->dlpi_name != nullptr) ? info->dlpi_name : "";
    return 1;
}

std::string ComputeModulePath()
{
    return details::ModuleRealPath(GetCurDllModule());
}

const std::string& ModulePathText()
{
    static const std::string s_path = ComputeModulePath();
    return s_path;
}

} // namespace

namespace details
{

ModuleHandle FindModuleByAddress(const void* addr)
{
    FindByAddress f;
    f.addr = reinterpret_cast<uintptr_t>(addr);
    ::dl_iterate_phdr(&FindByAddressCb, &f);
    return f.base;
}

std::string ModuleRealPath(ModuleHandle module)
{
    if (module == nullptr)
        return std::string();
    FindByBase f;
    f.base = module;
    ::dl_iterate_phdr(&FindByBaseCb, &f);
    if (!f.found)
        return std::string();
    // The loader names the main program with an empty text.
    const std::string name = f.name.empty() ? std::string("/proc/self/exe") : f.name;
    char* resolved = ::realpath(name.c_str(), nullptr);
    if (resolved == nullptr)
        return std::string();
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string FormatWinError(const std::wstring& label, const std::wstring& text, const LastErrorInfo& error)
{
    const std::wstring line = L"YrSharedUtils " + label + L": " + L", err " + text + L", LastError " +
                              L"code: " + std::to_wstring(error.code) + L", msg: " + error.text + L"\n";
    return Utils::WStringToStdString(line);
}

} // namespace details

LastErrorInfo ReadLastError()
{
    LastErrorInfo info;
    const int err = errno;
    info.code = static_cast<uint32_t>(err);
    if (err != 0)
        info.text = QString::fromLocal8Bit(std::strerror(err)).toStdWString();
    return info;
}

void ReportWinError(const std::wstring& label, const std::wstring& text)
{
    const LastErrorInfo error = ReadLastError();
    ReportWinError(label, text, error);
}

void ReportWinError(const std::wstring& label, const std::wstring& text, const LastErrorInfo& error)
{
    Platform::DebugOutput(details::FormatWinError(label, text, error));
}

ModuleHandle GetCurDllModuleModern()
{
    Dl_info info;
    std::memset(&info, 0, sizeof(info));
    errno = 0;
    if (::dladdr(reinterpret_cast<const void*>(&AnchorFunction), &info) == 0 || info.dli_fbase == nullptr)
    {
        ReportWinError(L"GetCurDllModuleModern", L"dladdr failed");
        return nullptr;
    }
    return info.dli_fbase;
}

ModuleHandle GetCurDllModuleLegacy()
{
    errno = 0;
    ModuleHandle h = details::FindModuleByAddress(reinterpret_cast<const void*>(&AnchorFunction));
    if (h == nullptr)
        ReportWinError(L"GetCurDllModuleLegacy", L"dl_iterate_phdr failed");
    return h;
}

ModuleHandle GetCurDllModule()
{
    static const ModuleHandle s_module = []
    {
        ModuleHandle h = GetCurDllModuleModern();
        return (h != nullptr) ? h : GetCurDllModuleLegacy();
    }();
    return s_module;
}

std::wstring GetModuleLongPath(ModuleHandle module)
{
    return QString::fromUtf8(details::ModuleRealPath(module).c_str()).toStdWString();
}

bool ModulePathFound()
{
    return !ModulePathText().empty();
}

const std::string& GetModulePath()
{
    const std::string& appPath = ModulePathText();
    ESS_ASSERT(!appPath.empty());
    return appPath;
}

char** GetModuleArgv()
{
    static char* s_argv[2] = {const_cast<char*>(GetModulePath().c_str()), nullptr};
    return s_argv;
}

} // namespace AppPath
} // namespace VdiCommon
