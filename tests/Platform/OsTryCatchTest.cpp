#include <signal.h>
#include <ucontext.h>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "ESS/Exception.h"
#include "Platform/OsTryCatch.h"
#include "Platform/SysLibs.h"
#include "Platform/WinExcept.h"
#include "Utils/ExceptionInfo.h"
#include "Utils/StringUtils.h"

// Thrown types the guard knows only by name; at global scope so that their names are plain.
struct UDT
{
};

namespace
{

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Base
{
    virtual ~Base() = default;
    int pad = 1;
};

struct Derived : Base, std::exception
{
    const char* what() const noexcept override { return "derived what"; }
};

struct ViaVirtualBase : virtual std::exception
{
    const char* what() const noexcept override { return "virtual what"; }
};

template <class F>
std::unique_ptr<Utils::ExceptionInfo> Guard(F f, Platform::OsTryCatchType kind)
{
    auto ex = Utils::MakeExecuter(f);
    return Platform::OsTryCatch(ex, kind);
}

std::string Narrow(const std::wstring& w)
{
    return Utils::WStringToStdString(w);
}

TEST(OsTryCatchTest, NormalReturnGivesNullForEveryKind)
{
    for (auto kind : {Platform::enOsTCTRegular, Platform::enOsTCTDefault, Platform::enOsTCTAllWindows})
    {
        int runs = 0;
        EXPECT_EQ(nullptr, Guard([&] { ++runs; }, kind));
        EXPECT_EQ(1, runs);
    }
}

TEST(OsTryCatchTest, ThrownStdExceptionIsDescribed)
{
    for (auto kind : {Platform::enOsTCTRegular, Platform::enOsTCTDefault, Platform::enOsTCTAllWindows})
    {
        auto info = Guard([] { throw std::runtime_error("x"); }, kind);
        ASSERT_NE(nullptr, info);
        EXPECT_TRUE(std::regex_match(
            Narrow(info->context),
            std::regex("Windows Exception EXCEPTION_MS_CPP \\(0xe06d7363\\) at 0x[0-9A-F]{16}")))
            << Narrow(info->context);
        EXPECT_EQ("std::runtime_error", info->typeName);
        EXPECT_EQ(L"x", info->text);
    }
}

TEST(OsTryCatchTest, ProgramExceptionRuleWinsOverStdRule)
{
    std::wstring expected;
    auto info = Guard(
        [&]
        {
            try
            {
                ESS_THROW_MSG(ESS::Exception, L"bad thing");
            }
            catch (const ESS::Exception& e)
            {
                expected = e.FormatText();
                throw;
            }
        },
        Platform::enOsTCTDefault);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ("ESS::Exception", info->typeName);
    EXPECT_EQ(expected, info->text);
    EXPECT_THAT(Narrow(info->text), HasSubstr("bad thing"));
}

TEST(OsTryCatchTest, UnknownThrownTypeGivesItsNameOnly)
{
    auto info = Guard([] { throw UDT(); }, Platform::enOsTCTDefault);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ("UDT", info->typeName);
    EXPECT_TRUE(info->text.empty());
    EXPECT_THAT(Narrow(Utils::ExceptionToText(*info)), HasSubstr("Exception type 'UDT' info [no info]"));

    auto i2 = Guard([] { throw 42; }, Platform::enOsTCTRegular);
    ASSERT_NE(nullptr, i2);
    EXPECT_EQ("int", i2->typeName);
}

TEST(OsTryCatchTest, ComErrorShowsItsMessageAndDynamicType)
{
    auto info = Guard([] { throw Win32::COMError(Win32::HRESULT(0x80004005u), ESS_LOCATION); },
                      Platform::enOsTCTDefault);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ("Win32::COMError", info->typeName);
    EXPECT_EQ(L"Unspecified error", info->text);
}

TEST(OsTryCatchTest, InnerHandlersAreConsultedFirst)
{
    bool innerCaught = false;
    auto info = Guard(
        [&]
        {
            try
            {
                throw std::logic_error("inner");
            }
            catch (const std::logic_error&)
            {
                innerCaught = true;
            }
        },
        Platform::enOsTCTAllWindows);
    EXPECT_EQ(nullptr, info);
    EXPECT_TRUE(innerCaught);
}

TEST(OsTryCatchTest, ExceptionCastFindsTheStdExceptionSubobject)
{
    try
    {
        throw Derived();
    }
    catch (const Derived& d)
    {
        WinExcept::ExceptionPointers ep = WinExcept::MakeCppPointers(std::current_exception(), nullptr);
        const std::exception* e = WinExcept::ExceptionCast<std::exception>(&ep);
        ASSERT_NE(nullptr, e);
        EXPECT_NE(static_cast<const void*>(e), static_cast<const void*>(&d));
        EXPECT_EQ(static_cast<const void*>(&d), WinExcept::detail::ThrownObjectAddress(ep));
        EXPECT_STREQ("derived what", e->what());
        EXPECT_EQ(nullptr, WinExcept::ExceptionCast<std::runtime_error>(&ep));
        EXPECT_EQ("(anonymous namespace)::Derived", WinExcept::ThrownTypeName(ep));
    }
}

TEST(OsTryCatchTest, StdExceptionThroughAVirtualBaseKeepsItsText)
{
    auto info = Guard([] { throw ViaVirtualBase(); }, Platform::enOsTCTDefault);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(L"virtual what", info->text);
}

TEST(OsTryCatchDeathTest, UnknownCatchKindHalts)
{
    EXPECT_EXIT(Guard([] {}, static_cast<Platform::OsTryCatchType>(3)), ::testing::ExitedWithCode(3),
                HasSubstr("( ( catchType == enOsTCTRegular ) || ( catchType == enOsTCTAllWindows ) ) && "
                          "\"Incorrect catch type\""));
    EXPECT_EXIT(WinExcept::ExceptionCast<std::exception>(nullptr), ::testing::ExitedWithCode(3),
                HasSubstr("ep != 0"));
}

// ---- analysis of fault records (no signal is raised here) ----

struct FakeFault
{
    siginfo_t si;
    ucontext_t uc;

    FakeFault(int signo, int code, uintptr_t addr, uintptr_t rip = 0x1000, unsigned long err = 0,
              uintptr_t rsp = 0x7fff00000000)
    {
        std::memset(&si, 0, sizeof(si));
        std::memset(&uc, 0, sizeof(uc));
        si.si_signo = signo;
        si.si_code = code;
        si.si_addr = reinterpret_cast<void*>(addr);
        uc.uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(rip);
        uc.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(rsp);
        uc.uc_mcontext.gregs[REG_ERR] = static_cast<greg_t>(err);
    }

    WinExcept::ExceptionPointers Pointers() const
    {
        WinExcept::ExceptionPointers ep = WinExcept::MakeFaultPointers(si.si_signo, &si, &uc);
        ep.context = nullptr; // the fake context has no frames to walk
        return ep;
    }

    std::string Context() const
    {
        return Utils::WStringToStdString(WinExcept::MakeSysExceptionInfo(Pointers()).context);
    }
};

TEST(FaultRecordTest, AccessViolationKindsAndAddresses)
{
    EXPECT_EQ("Windows Exception EXCEPTION_ACCESS_VIOLATION (0xc0000005) at 0x00000000DEADBEEF; write "
              "0x0000000000000000",
              FakeFault(SIGSEGV, SEGV_MAPERR, 0, 0xDEADBEEF, 0x6).Context());
    EXPECT_EQ("Windows Exception EXCEPTION_ACCESS_VIOLATION (0xc0000005) at 0x0000000000001000; read "
              "0x0000000000000010",
              FakeFault(SIGSEGV, SEGV_MAPERR, 16, 0x1000, 0x4).Context());
    EXPECT_EQ("Windows Exception EXCEPTION_ACCESS_VIOLATION (0xc0000005) at 0x0000000000001000; DEP "
              "0x00007f00aabbccdd",
              FakeFault(SIGSEGV, SEGV_ACCERR, 0x7f00aabbccdd, 0x1000, 0x15).Context());

    WinExcept::ExceptionPointers ep = FakeFault(SIGSEGV, SEGV_MAPERR, 0x10, 0x1000, 0x6).Pointers();
    EXPECT_EQ(2u, ep.record.NumberParameters);
    EXPECT_EQ(WinExcept::c_avWrite, ep.record.ExceptionInformation[0]);
    ep.record.ExceptionInformation[0] = 5;
    EXPECT_THAT(Narrow(WinExcept::MakeSysExceptionInfo(ep).context),
                HasSubstr("; undefined 0x0000000000000010"));
}

TEST(FaultRecordTest, FaultNextToTheStackPointerIsAStackOverflow)
{
    const uintptr_t rsp = 0x7fff00010000;
    FakeFault f(SIGSEGV, SEGV_ACCERR, rsp - 8, 0x1000, 0x6, rsp);
    EXPECT_EQ(WinExcept::c_codeStackOverflow, f.Pointers().record.ExceptionCode);
    EXPECT_EQ("Windows Exception EXCEPTION_STACK_OVERFLOW (0xc00000fd) at 0x0000000000001000", f.Context());
}

TEST(FaultRecordTest, SignalCodesMapToWindowsCodes)
{
    struct Case
    {
        int signo, code;
        uint32_t expected;
    } cases[] = {
        {SIGFPE, FPE_INTDIV, 0xC0000094},  {SIGFPE, FPE_INTOVF, 0xC0000095},
        {SIGFPE, FPE_FLTDIV, 0xC000008E},  {SIGFPE, FPE_FLTOVF, 0xC0000091},
        {SIGFPE, FPE_FLTUND, 0xC0000093},  {SIGFPE, FPE_FLTRES, 0xC000008F},
        {SIGFPE, FPE_FLTINV, 0xC0000090},  {SIGFPE, FPE_FLTSUB, 0xC000008C},
        {SIGILL, ILL_PRVOPC, 0xC0000096},  {SIGILL, ILL_PRVREG, 0xC0000096},
        {SIGILL, ILL_ILLOPN, 0xC000001D},  {SIGBUS, BUS_ADRALN, 0x80000002},
        {SIGBUS, BUS_ADRERR, 0xC0000006},  {SIGTRAP, TRAP_TRACE, 0x80000004},
        {SIGTRAP, TRAP_BRKPT, 0x80000003},
    };
    for (const Case& c : cases)
    {
        FakeFault f(c.signo, c.code, 0);
        EXPECT_EQ(c.expected, f.Pointers().record.ExceptionCode) << c.signo << "/" << c.code;
        EXPECT_EQ(0u, f.Pointers().record.NumberParameters);
    }
    EXPECT_EQ("Windows Exception EXCEPTION_INT_DIVIDE_BY_ZERO (0xc0000094) at 0x0000000000001000",
              FakeFault(SIGFPE, FPE_INTDIV, 0).Context());
    // int3 reports the breakpoint instruction itself, one byte before where the CPU stopped.
    EXPECT_EQ("Windows Exception EXCEPTION_BREAKPOINT (0x80000003) at 0x0000000000000FFF",
              FakeFault(SIGTRAP, SI_KERNEL, 0).Context());
}

TEST(FaultRecordTest, CodeTableHoldsTheTwentyNineNames)
{
    WinExcept::SysExceptionCodeTable t = WinExcept::MakeSysExceptionCodeTable();
    EXPECT_EQ(29u, t.size());
    EXPECT_EQ("CONTROL_C_EXIT", t.at(0xC000013A).name);
    EXPECT_EQ("STATUS_SXS_INVALID_DEACTIVATION", t.at(0xC0150010).name);
    EXPECT_EQ("EXCEPTION_FLT_DENORMAL_OPERAND", t.at(0xC000008D).name);
    EXPECT_NE(nullptr, t.at(0xC0000005).detail);
    EXPECT_NE(nullptr, t.at(0xE06D7363).detail);
    EXPECT_EQ(nullptr, t.at(0xC00000FD).detail);

    WinExcept::ExceptionPointers ep;
    ep.record.ExceptionCode = 0x12345678;
    ep.record.ExceptionAddress = 0xAB;
    Utils::ExceptionInfo info = WinExcept::MakeSysExceptionInfo(ep);
    EXPECT_EQ(L"Windows Exception 0x12345678 at 0x00000000000000AB", info.context);
    EXPECT_TRUE(info.typeName.empty());
    EXPECT_TRUE(info.text.empty());
    EXPECT_TRUE(info.stackTrace.empty());
}

} // namespace
