#include "Platform/WinExcept.h"
#include <cstdio>
#include <cstring>
#include <typeinfo>
#include "ESS/Assert.h"
#include "ESS/Exception.h"
#include "Platform/StackTrace.h"
#include "Platform/SysLibs.h"
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace WinExcept
{

namespace
{

// Page-fault error code bits (x86-64): the access was a write / an instruction fetch.
const unsigned long c_pfWrite = 0x2;
const unsigned long c_pfInstructionFetch = 0x10;
// A fault this close to the stack pointer is the stack running into its guard page.
const uintptr_t c_stackOverflowReach = 64 * 1024;

uint32_t FaultCode(int signo, const siginfo_t* si)
{
    const int code = si ? si->si_code : 0;
    switch (signo)
    {
    case SIGFPE:
        switch (code)
        {
        case FPE_INTOVF:
            return c_codeIntOverflow;
        case FPE_FLTDIV:
            return c_codeFltDivideByZero;
        case FPE_FLTOVF:
            return c_codeFltOverflow;
        case FPE_FLTUND:
            return c_codeFltUnderflow;
        case FPE_FLTRES:
            return c_codeFltInexactResult;
        case FPE_FLTINV:
            return c_codeFltInvalidOperation;
        case FPE_FLTSUB:
            return c_codeArrayBoundsExceeded;
        default:
            return c_codeIntDivideByZero; // FPE_INTDIV; INT_MIN / -1 lands here too
        }
    case SIGILL:
        return (code == ILL_PRVOPC || code == ILL_PRVREG) ? c_codePrivInstruction : c_codeIllegalInstruction;
    case SIGBUS:
        return (code == BUS_ADRALN) ? c_codeDatatypeMisalignment : c_codeInPageError;
    case SIGTRAP:
        return (code == TRAP_TRACE) ? c_codeSingleStep : c_codeBreakpoint;
    default:
        return c_codeAccessViolation;
    }
}

std::string Hex8(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08x", v);
    return buf;
}

std::string PointerText(uintptr_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%016llX", static_cast<unsigned long long>(v));
    return buf;
}

} // namespace

ExceptionPointers MakeFaultPointers(int signo, const siginfo_t* info, const ucontext_t* context)
{
    ExceptionPointers ep;
    ep.signo = signo;
    ep.siginfo = info;
    ep.context = context;
    ExceptionRecord& r = ep.record;
    r.ExceptionCode = FaultCode(signo, info);
    if (context != nullptr)
        r.ExceptionAddress = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
    if (signo == SIGTRAP && info != nullptr && info->si_code == SI_KERNEL && r.ExceptionAddress != 0)
        r.ExceptionAddress -= 1; // int3 leaves the instruction pointer after itself

    if (signo == SIGSEGV)
    {
        const uintptr_t addr = info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
        if (context != nullptr)
        {
            const uintptr_t rsp = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
            const uintptr_t dist = (addr > rsp) ? addr - rsp : rsp - addr;
            if (addr != 0 && dist < c_stackOverflowReach)
            {
                r.ExceptionCode = c_codeStackOverflow;
                return ep;
            }
        }
        const unsigned long err =
            context ? static_cast<unsigned long>(context->uc_mcontext.gregs[REG_ERR]) : 0;
        r.NumberParameters = 2;
        r.ExceptionInformation[0] = (err & c_pfInstructionFetch) ? c_avDep
                                    : (err & c_pfWrite)          ? c_avWrite
                                                                 : c_avRead;
        r.ExceptionInformation[1] = addr;
    }
    return ep;
}

ExceptionPointers MakeCppPointers(std::exception_ptr e, const ucontext_t* catcherContext)
{
    ExceptionPointers ep;
    ep.exception = e;
    ep.context = catcherContext;
    ep.record.ExceptionCode = c_codeCppException;
    ep.record.NumberParameters = 3;
    ep.record.ExceptionInformation[1] = reinterpret_cast<uintptr_t>(detail::ThrownObjectAddress(ep));
    return ep;
}

SysExceptionCodeTable MakeSysExceptionCodeTable()
{
    static const struct
    {
        uint32_t code;
        const char* name;
        DetailHandler detail;
    } c_entries[] = {
        {0xC0000005, "EXCEPTION_ACCESS_VIOLATION", &AppendAccessViolationDetails},
        {0xE06D7363, "EXCEPTION_MS_CPP", &AppendCppExceptionDetails},
        {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT", nullptr},
        {0x80000003, "EXCEPTION_BREAKPOINT", nullptr},
        {0x80000004, "EXCEPTION_SINGLE_STEP", nullptr},
        {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED", nullptr},
        {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND", nullptr},
        {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO", nullptr},
        {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT", nullptr},
        {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION", nullptr},
        {0xC0000091, "EXCEPTION_FLT_OVERFLOW", nullptr},
        {0xC0000092, "EXCEPTION_FLT_STACK_CHECK", nullptr},
        {0xC0000093, "EXCEPTION_FLT_UNDERFLOW", nullptr},
        {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr},
        {0xC0000095, "EXCEPTION_INT_OVERFLOW", nullptr},
        {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION", nullptr},
        {0xC0000006, "EXCEPTION_IN_PAGE_ERROR", nullptr},
        {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION", nullptr},
        {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION", nullptr},
        {0xC00000FD, "EXCEPTION_STACK_OVERFLOW", nullptr},
        {0xC0000026, "EXCEPTION_INVALID_DISPOSITION", nullptr},
        {0x80000001, "EXCEPTION_GUARD_PAGE", nullptr},
        {0xC0000008, "EXCEPTION_INVALID_HANDLE", nullptr},
        {0xC000013A, "CONTROL_C_EXIT", nullptr},
        {0xC00002B4, "STATUS_FLOAT_MULTIPLE_FAULTS", nullptr},
        {0xC00002B5, "STATUS_FLOAT_MULTIPLE_TRAPS", nullptr},
        {0xC00002C9, "STATUS_REG_NAT_CONSUMPTION", nullptr},
        {0xC015000F, "STATUS_SXS_EARLY_DEACTIVATION", nullptr},
        {0xC0150010, "STATUS_SXS_INVALID_DEACTIVATION", nullptr},
    };
    SysExceptionCodeTable table;
    for (const auto& e : c_entries)
        table.emplace(e.code, SysExceptionCodeEntry{e.code, e.name, e.detail});
    return table;
}

Utils::ExceptionInfo MakeSysExceptionInfo(const ExceptionPointers& ep)
{
    Utils::ExceptionInfo info;
    const uint32_t code = ep.record.ExceptionCode;
    std::string codeText = Hex8(code);
    const std::string addressText = PointerText(ep.record.ExceptionAddress);

    DetailHandler detail = nullptr;
    const SysExceptionCodeTable table = MakeSysExceptionCodeTable();
    auto it = table.find(code);
    if (it != table.end())
    {
        codeText = it->second.name + " (" + codeText + ")";
        detail = it->second.detail;
    }

    info.context = Utils::WidenString("Windows Exception " + codeText + " at " + addressText);
    info.stackTrace = StackTextFromContext(ep.context);
    if (detail != nullptr)
        detail(ep, info);
    return info;
}

void AppendAccessViolationDetails(const ExceptionPointers& ep, Utils::ExceptionInfo& info)
{
    if (ep.record.NumberParameters < 2)
        return;
    const char* kind = "undefined";
    switch (ep.record.ExceptionInformation[0])
    {
    case c_avRead:
        kind = "read";
        break;
    case c_avWrite:
        kind = "write";
        break;
    case c_avDep:
        kind = "DEP";
        break;
    default:
        break;
    }
    char buf[64];
    std::snprintf(buf, sizeof(buf), "; %s 0x%016llx", kind,
                  static_cast<unsigned long long>(ep.record.ExceptionInformation[1]));
    info.context += Utils::WidenString(buf);
}

void AppendCppExceptionDetails(const ExceptionPointers& ep, Utils::ExceptionInfo& info)
{
    Utils::ExceptionInfo r = Win::GetExceptionInfo(ep);
    info.typeName = r.typeName;
    info.text = r.text;
}

std::string StackTextFromContext(const ucontext_t* context)
{
    if (context == nullptr)
        return std::string();
    std::string res;
    for (uint64_t a : Platform::GetStackFrames(context))
    {
        // This runs inside fault handlers: never wait long for the symbol engine.
        Platform::StackEntry e = Platform::GetFrameEntryNoWait(a);
        std::string line = e.undFullName.empty() ? e.name : e.undFullName;
        // The frame's name alone: readers of reports parse these lines. File and line go to the dump.
        if (line.empty())
            line = "<undef>";
        if (!res.empty())
            res += "\n";
        res += line;
    }
    return res;
}

std::string ThrownTypeName(const ExceptionPointers& ep)
{
    if (ep.record.ExceptionCode != c_codeCppException || !ep.exception)
        return std::string();
    const std::type_info* ti = ep.exception.__cxa_exception_type();
    return ti ? Platform::RawTypeName(*ti) : std::string();
}

namespace detail
{

const void* ThrownObjectAddress(const ExceptionPointers& ep)
{
    if (!ep.exception)
        return nullptr;
    // libstdc++'s exception_ptr holds exactly the address of the thrown object.
    static_assert(sizeof(std::exception_ptr) == sizeof(void*), "exception_ptr layout");
    const void* p = nullptr;
    std::memcpy(&p, &ep.exception, sizeof(p));
    return p;
}

void AssertPointers(const ExceptionPointers* ep)
{
    ESS_ASSERT(ep != 0);
}

} // namespace detail

} // namespace WinExcept

namespace Win
{

Utils::ExceptionInfo GetExceptionInfo(const WinExcept::ExceptionPointers& ep)
{
    Utils::ExceptionInfo info;
    if (ep.record.ExceptionCode != WinExcept::c_codeCppException || !ep.exception)
        return info;

    // The rules in order: program exceptions first (they are std::exceptions too), then standard
    // exceptions (virtual bases included), then COM errors, then any other thrown type by its
    // name only.
    try
    {
        std::rethrow_exception(ep.exception);
    }
    catch (const ESS::BaseException& e)
    {
        info.text = e.FormatText();
        info.typeName = Platform::RawTypeName(typeid(e));
    }
    catch (const std::exception& e)
    {
        info.text = Utils::LocaleStringToUnicode(e.what());
        info.typeName = Platform::RawTypeName(typeid(e));
    }
    catch (const _com_error& e)
    {
        std::wstring msg;
        try
        {
            msg = e.ErrorMessage();
        }
        catch (...)
        {
        }
        info.text =
            msg.empty() ? L"Internal error in Win::GetExceptionInfo(): _com_error::ErrorMessage() fail" : msg;
        info.typeName = Platform::RawTypeName(typeid(e));
    }
    catch (...)
    {
        info.typeName = WinExcept::ThrownTypeName(ep);
    }
    return info;
}

} // namespace Win
