#include "Platform/DiagEntries.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <boost/format.hpp>
#include "ESS/Assert.h"
#include "Platform/SmBios.h"
#include "Platform/WinExcept.h"
#include "Utils/AppEntry.h"
#include "Utils/ExceptionInfo.h"

namespace Platform
{

namespace
{

const size_t c_heapBlockSize = 0x80000;
const size_t c_heapBlockCount = 1000;

// The runtime heap.
class AllocCRT
{
public:
    static void* Alloc(size_t size)
    {
        void* p = std::malloc(size);
        ESS_ASSERT(p);
        return p;
    }

    static void Free(void* p)
    {
        ESS_ASSERT(p);
        std::free(p);
    }
};

const char* SameWord(bool same)
{
    return same ? "same" : "not same";
}

void PrintCast(const std::string& from, const std::string& to, bool same)
{
    std::cout << (boost::format("Cast %s -> %s is %s") % from % to % SameWord(same)).str() << std::endl;
}

// This platform's guard for thrown objects: the filter sees the record of the object while it is
// in flight; then the guard's handler ends the run. True when the filter ran.
template <class TFn, class TFilter>
bool RunGuarded(TFn fn, TFilter filter)
{
    try
    {
        fn();
    }
    catch (...)
    {
        const WinExcept::ExceptionPointers ep = WinExcept::MakeCppPointers(std::current_exception(), nullptr);
        filter(ep);
        return true;
    }
    return false;
}

void CastGroup1()
{
    class A
    {
    public:
        virtual ~A() = default;
    };
    class B : public A
    {
    };

    B b;
    const A* pa = &b;
    PrintCast(RawTypeName(typeid(B)), RawTypeName(typeid(A)), static_cast<const void*>(pa) == &b);
}

void CastGroup2()
{
    class A
    {
    public:
        virtual ~A() = default;
        virtual void Nop1() {}

    private:
        std::string m_a;
    };
    class B : public A
    {
    public:
        virtual void Nop2() {}

    private:
        std::string m_b;
    };
    class C : public B, public std::exception
    {
    public:
        explicit C(const std::string& message) : m_message(message) {}
        void Nop1() override { m_message.clear(); }
        void Nop2() override { m_message.clear(); }
        const char* what() const noexcept override { return m_message.c_str(); }

    private:
        std::string m_message;
    };
    class D : public C
    {
    public:
        D() : C("Everything is fine") {}

    private:
        std::string m_d;
    };

    {
        const D d;
        const std::exception* pe = &d;
        PrintCast(RawTypeName(typeid(D)), RawTypeName(typeid(std::exception)),
                  static_cast<const void*>(pe) == &d);
    }

    RunGuarded([] { throw D(); },
               [](const WinExcept::ExceptionPointers& ep)
               {
                   std::cout << WinExcept::ThrownTypeName(ep) << std::endl;
                   if (const std::exception* e = WinExcept::ExceptionCast<std::exception>(&ep))
                       std::cout << " what: " << e->what() << std::endl;
               });
}

} // namespace

void WaitForEnter(const std::string& text)
{
    std::cout << text << std::endl;
    std::string line;
    std::getline(std::cin, line);
}

int CastTest()
{
    CastGroup1();
    CastGroup2();
    return 0;
}

int SmBiosInfoPrint()
{
    std::string text;
    try
    {
        const Win32::SystemInfo info = Win32::GetSystemInfoImpl();
        text = fmt::format("manufacturer '{}'; product '{}'; ver {}; serial {}", info.manufacturer,
                           info.productName, info.version, info.serialNumber);
    }
    catch (const std::exception& e)
    {
        text = Utils::UnicodeToLocaleString(Utils::ExceptionToText(Utils::MakeExceptionInfo(e)));
    }
    std::cout << "SMBIOS info: " << text << std::endl;
    return 0;
}

namespace
{

const RegisterAppEntry g_heapTestEntry(
    "WinHeapTest",
    [](const Utils::ArgStringList&) { return HeapTest<AllocCRT>(c_heapBlockSize, c_heapBlockCount); }, true);
const RegisterAppEntry g_exceptionsTestEntry(
    "WinExceptionsTest", [](const Utils::ArgStringList&) { return CastTest(); }, true);
const RegisterAppEntry g_smBiosInfoEntry(
    "SmBiosInfo", [](const Utils::ArgStringList&) { return SmBiosInfoPrint(); }, true);

} // namespace

} // namespace Platform
