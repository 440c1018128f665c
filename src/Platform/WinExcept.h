#pragma once
#include <signal.h>
#include <ucontext.h>
#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include "Platform/OsTryCatch.h"
#include "Utils/ExceptionInfo.h"

// The description of a caught fault or thrown exception in the shape of the Windows exception
// record, so that the reports keep their Windows codes and texts ("Windows Exception ...").
namespace WinExcept
{

const uint32_t c_codeAccessViolation = 0xC0000005;
const uint32_t c_codeCppException = 0xE06D7363;
const uint32_t c_codeDatatypeMisalignment = 0x80000002;
const uint32_t c_codeBreakpoint = 0x80000003;
const uint32_t c_codeSingleStep = 0x80000004;
const uint32_t c_codeArrayBoundsExceeded = 0xC000008C;
const uint32_t c_codeFltDivideByZero = 0xC000008E;
const uint32_t c_codeFltInexactResult = 0xC000008F;
const uint32_t c_codeFltInvalidOperation = 0xC0000090;
const uint32_t c_codeFltOverflow = 0xC0000091;
const uint32_t c_codeFltUnderflow = 0xC0000093;
const uint32_t c_codeIntDivideByZero = 0xC0000094;
const uint32_t c_codeIntOverflow = 0xC0000095;
const uint32_t c_codePrivInstruction = 0xC0000096;
const uint32_t c_codeInPageError = 0xC0000006;
const uint32_t c_codeIllegalInstruction = 0xC000001D;
const uint32_t c_codeStackOverflow = 0xC00000FD;

// Access kinds of an access violation (ExceptionInformation[0]).
const uintptr_t c_avRead = 0;
const uintptr_t c_avWrite = 1;
const uintptr_t c_avDep = 8;

struct ExceptionRecord
{
    uint32_t ExceptionCode = 0;
    uintptr_t ExceptionAddress = 0;
    uint32_t NumberParameters = 0;
    uintptr_t ExceptionInformation[15] = {};
};

// EXCEPTION_POINTERS of this platform: the record derived from a fault signal (signo, siginfo,
// the interrupted context) or from a thrown exception (the exception object).
struct ExceptionPointers
{
    ExceptionRecord record;
    int signo = 0;
    const siginfo_t* siginfo = nullptr;
    // The context whose stack the report shows: the interrupted one for a fault, the catcher's
    // for a thrown exception; null for none. Valid only while its frame lives.
    const ucontext_t* context = nullptr;
    std::exception_ptr exception;
};

// Fault signal -> record: SIGSEGV 0xC0000005 (read/write/DEP from the page-fault error bits, the
// data address) or 0xC00000FD near the stack pointer, SIGFPE/SIGILL/SIGBUS/SIGTRAP by si_code.
ExceptionPointers MakeFaultPointers(int signo, const siginfo_t* info, const ucontext_t* context);

// Thrown exception -> record with code 0xE06D7363; the raise address is not known (0).
ExceptionPointers MakeCppPointers(std::exception_ptr e, const ucontext_t* catcherContext);

typedef void (*DetailHandler)(const ExceptionPointers& ep, Utils::ExceptionInfo& info);

struct SysExceptionCodeEntry
{
    uint32_t code;
    std::string name;
    DetailHandler detail; // may be null
};

typedef std::map<uint32_t, SysExceptionCodeEntry> SysExceptionCodeTable;

// The 29 named codes.
SysExceptionCodeTable MakeSysExceptionCodeTable();

// "Windows Exception NAME (0x%08x) at 0x<16 upper-case hex>" + details, and the stack of the context.
Utils::ExceptionInfo MakeSysExceptionInfo(const ExceptionPointers& ep);

// "; read|write|DEP|undefined 0x<16 lower-case hex>".
void AppendAccessViolationDetails(const ExceptionPointers& ep, Utils::ExceptionInfo& info);

// Type name and text of the thrown object.
void AppendCppExceptionDetails(const ExceptionPointers& ep, Utils::ExceptionInfo& info);

// One line per frame of the context's stack (the symbol name, "<undef>" when unknown), joined
// with "\n"; "" for no context.
std::string StackTextFromContext(const ucontext_t* context);

// The demangled name of the thrown type; "" when the record is not a thrown exception.
std::string ThrownTypeName(const ExceptionPointers& ep);

// The T sub-object of the thrown object, or null.
template <class T>
const T* ExceptionCast(const ExceptionPointers* ep);

namespace detail
{
const void* ThrownObjectAddress(const ExceptionPointers& ep);
void AssertPointers(const ExceptionPointers* ep);
} // namespace detail

template <class T>
const T* ExceptionCast(const ExceptionPointers* ep)
{
    detail::AssertPointers(ep);
    if (ep->record.ExceptionCode != c_codeCppException || !ep->exception)
        return nullptr;
    try
    {
        std::rethrow_exception(ep->exception);
    }
    catch (const T& e)
    {
        // The exception object lives on in ep->exception; the address stays valid with it.
        return &e;
    }
    catch (...)
    {
    }
    return nullptr;
}

// The halt path's carrier of a fault's record (the crash hook reads the pointers from it).
class WinException : public Platform::SysExceptionInfoBase
{
public:
    explicit WinException(const ExceptionPointers* ep) : m_ep(ep) {}
    const ExceptionPointers* Pointers() const { return m_ep; }

private:
    const ExceptionPointers* m_ep;
};

} // namespace WinExcept

namespace Win
{

// Type name and text of a thrown object: ESS::BaseException (full text), std::exception (what()),
// _com_error (ErrorMessage()), otherwise the thrown type's name with no text. Context and stack
// stay empty.
Utils::ExceptionInfo GetExceptionInfo(const WinExcept::ExceptionPointers& ep);

} // namespace Win
