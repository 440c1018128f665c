// The API hooking engine: decoding, trampolines, patching and parking the other threads.
// Hooks are permanent, so every test hooks functions of its own and enables what it creates;
// tests that need an engine without other hooks run in a child process.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "CrashReporter/spec/ApiHook.h"
#include "CrashReporter/spec/ApiHookMemory.h"
#include "CrashReporter/spec/ApiHookThreads.h"

// Functions whose first bytes the tests must know exactly.
extern "C"
{
    int ApiHookTestRipTarget();                          // returns ApiHookTestRipData
    int ApiHookTestRipImmTarget();                       // returns ApiHookTestRipData == 5
    int ApiHookTestSpinTarget(const volatile int* flag); // spins in its first 6 bytes until *flag, returns 42
    int ApiHookTestSpinForever();                        // never returns by itself
    extern char ApiHookTestSpinExit[];                   // returns 7
    volatile int ApiHookTestRipData = 0;
}

asm(R"(
    .text
    .p2align 4
    .globl ApiHookTestRipTarget
    .hidden ApiHookTestRipTarget
    .type ApiHookTestRipTarget, @function
ApiHookTestRipTarget:
    movl ApiHookTestRipData(%rip), %eax
    ret
    .size ApiHookTestRipTarget, .-ApiHookTestRipTarget

    .p2align 4
    .globl ApiHookTestRipImmTarget
    .hidden ApiHookTestRipImmTarget
    .type ApiHookTestRipImmTarget, @function
ApiHookTestRipImmTarget:
    cmpl $5, ApiHookTestRipData(%rip)
    sete %al
    movzbl %al, %eax
    ret
    .size ApiHookTestRipImmTarget, .-ApiHookTestRipImmTarget

    .p2align 4
    .globl ApiHookTestSpinTarget
    .hidden ApiHookTestSpinTarget
    .type ApiHookTestSpinTarget, @function
ApiHookTestSpinTarget:
1:  movl (%rdi), %eax
    testl %eax, %eax
    je 1b
    movl $42, %eax
    ret
    .size ApiHookTestSpinTarget, .-ApiHookTestSpinTarget

    .p2align 4
    .globl ApiHookTestSpinForever
    .hidden ApiHookTestSpinForever
    .type ApiHookTestSpinForever, @function
ApiHookTestSpinForever:
1:  jmp 1b
    .globl ApiHookTestSpinExit
    .hidden ApiHookTestSpinExit
ApiHookTestSpinExit:
    movl $7, %eax
    ret
    .size ApiHookTestSpinForever, .-ApiHookTestSpinForever
)");

using namespace ApiHook;

namespace
{

void EnsureInitialized()
{
    const Status s = Initialize();
    ASSERT_TRUE(s == Ok || s == ErrorAlreadyInitialized) << s;
}

// Functions of the test binary can be hooked once per process; a repeated run skips.
#define CREATE_ONCE_OR_SKIP(target, detour, original)                                                        \
    do                                                                                                       \
    {                                                                                                        \
        const Status s_ = CreateHook(target, detour, original);                                              \
        if (s_ == ErrorAlreadyCreated)                                                                       \
            GTEST_SKIP() << "hooked by an earlier run in this process";                                      \
        ASSERT_EQ(Ok, s_);                                                                                   \
    } while (false)

pid_t Tid()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

template <class F>
F FnAt(const void* p)
{
    return reinterpret_cast<F>(const_cast<void*>(p));
}

// Executable memory for hand-made functions. Never unmapped: hooks on it live as long as the
// process.
class CodePage
{
public:
    // At hint (exactly, when given) or wherever the kernel likes.
    explicit CodePage(uintptr_t hint = 0, size_t size = 4 * 4096) : m_size(size)
    {
        const int fixed = hint != 0 ? MAP_FIXED_NOREPLACE : 0;
        void* p = ::mmap(reinterpret_cast<void*>(hint), size, PROT_READ | PROT_WRITE | PROT_EXEC,
                         MAP_PRIVATE | MAP_ANONYMOUS | fixed, -1, 0);
        if (p == MAP_FAILED || (hint != 0 && reinterpret_cast<uintptr_t>(p) != hint))
        {
            if (p != MAP_FAILED)
                ::munmap(p, size);
            p = nullptr;
        }
        m_base = static_cast<uint8_t*>(p);
        if (m_base != nullptr)
            std::memset(m_base, 0xCC, size);
    }

    bool Valid() const { return m_base != nullptr; }
    uint8_t* At(size_t offset) const { return m_base + offset; }
    uintptr_t Address(size_t offset) const { return reinterpret_cast<uintptr_t>(m_base) + offset; }

    void Put(size_t offset, std::initializer_list<uint8_t> bytes)
    {
        std::memcpy(At(offset), bytes.begin(), bytes.size());
    }

    // E8/E9 with the displacement from offset to destination.
    void PutRel32(size_t offset, uint8_t opcode, const void* destination)
    {
        At(offset)[0] = opcode;
        const int32_t rel = static_cast<int32_t>(reinterpret_cast<intptr_t>(destination) -
                                                 static_cast<intptr_t>(Address(offset + 5)));
        std::memcpy(At(offset + 1), &rel, 4);
    }

private:
    uint8_t* m_base;
    size_t m_size;
};

// A code page within rel32 reach of p (so that code on it can call p directly).
CodePage CodePageNear(const void* p)
{
    const uintptr_t base = reinterpret_cast<uintptr_t>(p) & ~uintptr_t(0xFFFF);
    for (uintptr_t step = 0x10000; step < 0x20000000; step += 0x10000)
    {
        for (uintptr_t at : {base - step, base + step})
        {
            CodePage page(at);
            if (page.Valid())
                return page;
        }
    }
    return CodePage(1);
}

// A code page far from everything else, with the 1 GiB on each side unmapped, so that blocks
// near it are made for the test alone.
CodePage IsolatedCodePage()
{
    static uintptr_t next = 0x210000000000;
    for (int attempt = 0; attempt < 32; ++attempt)
    {
        const uintptr_t at = next;
        next += 0x100000000; // 4 GiB apart: the reach of two pages never overlaps
        const std::vector<MemoryRegion> map = ReadMemoryMap();
        bool clear = true;
        for (const MemoryRegion& r : map)
        {
            if (r.end > at - 0x48000000 && r.begin < at + 0x48000000)
                clear = false;
        }
        if (!clear)
            continue;
        CodePage page(at);
        if (page.Valid())
            return page;
    }
    return CodePage(1); // fails to map: the caller skips
}

typedef std::function<void(bool ok, const char* what)> Check;

// Runs in a fresh child process (an engine with no other hooks): a failed check ends it with code 1
// and the check's text on standard error.
template <class Body>
[[noreturn]] void RunChecksAndExit(Body body)
{
    std::string failures;
    body(
        [&failures](bool ok, const char* what)
        {
            if (!ok)
                failures += std::string(what) + "\n";
        });
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    ::_exit(failures.empty() ? 0 : 1);
}

Instruction Decode(std::initializer_list<uint8_t> bytes)
{
    uint8_t buf[32];
    std::memset(buf, 0xCC, sizeof(buf));
    std::memcpy(buf, bytes.begin(), bytes.size());
    Instruction in;
    const uint32_t len = DecodeInstruction(buf, in);
    EXPECT_EQ(len, in.length);
    return in;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Decoder

TEST(ApiHookDecodeTest, RipRelativeOperandWithAndWithoutImmediate)
{
    // mov eax, [rip+0x10]
    Instruction in = Decode({0x8B, 0x05, 0x10, 0x00, 0x00, 0x00});
    EXPECT_EQ(6, in.length);
    EXPECT_EQ(0x8B, in.opcode);
    EXPECT_EQ(c_fModRm | c_fDisp32, in.flags);
    EXPECT_EQ(0, in.modrmMod);
    EXPECT_EQ(5, in.modrmRm);
    EXPECT_EQ(0x10u, in.disp.disp32);

    // mov word [rip-4], 0x1234: the displacement sits 4 bytes before the 2-byte immediate
    in = Decode({0x66, 0xC7, 0x05, 0xFC, 0xFF, 0xFF, 0xFF, 0x34, 0x12});
    EXPECT_EQ(9, in.length);
    EXPECT_EQ(c_fModRm | c_fDisp32 | c_fImm16 | c_fPrefix66, in.flags);
    EXPECT_EQ(0x66, in.prefix66);
    EXPECT_EQ(2u, ImmediateSize(in.flags));
    EXPECT_EQ(0xFFFFFFFCu, in.disp.disp32);
    EXPECT_EQ(0x1234, in.imm.imm16);

    // lea r8, [rip+0]
    in = Decode({0x4C, 0x8D, 0x05, 0, 0, 0, 0});
    EXPECT_EQ(7, in.length);
    EXPECT_TRUE(in.flags & c_fPrefixRex);
    EXPECT_EQ(0x4C, in.rex);
    EXPECT_EQ(1, in.rexW);
    EXPECT_EQ(1, in.rexR);
    EXPECT_EQ(0, in.rexB);
}

TEST(ApiHookDecodeTest, ImmediatesBranchesAndAddresses)
{
    // mov rax, imm64
    Instruction in = Decode({0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(10, in.length);
    EXPECT_EQ(c_fImm64 | c_fPrefixRex, in.flags);
    EXPECT_EQ(0x0807060504030201ull, in.imm.imm64);

    // call rel32, jmp rel8, jne rel32
    in = Decode({0xE8, 0x00, 0x01, 0x00, 0x00});
    EXPECT_EQ(5, in.length);
    EXPECT_EQ(c_fImm32 | c_fRelative, in.flags);
    EXPECT_EQ(0x100u, in.imm.imm32);
    in = Decode({0xEB, 0xFE});
    EXPECT_EQ(c_fImm8 | c_fRelative, in.flags);
    EXPECT_EQ(0xFE, in.imm.imm8);
    in = Decode({0x0F, 0x85, 0x10, 0, 0, 0});
    EXPECT_EQ(6, in.length);
    EXPECT_EQ(0x0F, in.opcode);
    EXPECT_EQ(0x85, in.opcode2);
    EXPECT_EQ(c_fImm32 | c_fRelative, in.flags);

    // enter 16, 1: two immediates, 3 bytes together
    in = Decode({0xC8, 0x10, 0x00, 0x01});
    EXPECT_EQ(4, in.length);
    EXPECT_EQ(3u, ImmediateSize(in.flags));

    // mov eax, [moffs64], and with the 67 prefix a 32-bit address
    in = Decode({0xA1, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(9, in.length);
    EXPECT_EQ(c_fImm64, in.flags);
    in = Decode({0x67, 0xA1, 1, 2, 3, 4});
    EXPECT_EQ(6, in.length);
    EXPECT_EQ(c_fImm32 | c_fPrefix67, in.flags);

    // mov eax, [rsp+8]: SIB and an 8-bit displacement
    in = Decode({0x8B, 0x44, 0x24, 0x08});
    EXPECT_EQ(4, in.length);
    EXPECT_EQ(c_fModRm | c_fSib | c_fDisp8, in.flags);
    EXPECT_EQ(4, in.sibBase);
    EXPECT_EQ(4, in.sibIndex);
}

TEST(ApiHookDecodeTest, PrefixesAndErrors)
{
    // lock cmpxchg [rdi], ecx; fs-segment mov; rep movsb
    Instruction in = Decode({0xF0, 0x0F, 0xB1, 0x0F});
    EXPECT_EQ(4, in.length);
    EXPECT_EQ(c_fModRm | c_fPrefixLock, in.flags);
    EXPECT_EQ(0xF0, in.prefixLock);
    in = Decode({0x64, 0x8B, 0x00});
    EXPECT_EQ(c_fModRm | c_fPrefixSeg, in.flags);
    EXPECT_EQ(0x64, in.prefixSeg);
    in = Decode({0xF3, 0xA4});
    EXPECT_EQ(2, in.length);
    EXPECT_EQ(c_fPrefixRepx, in.flags);

    // push es does not exist in 64-bit code; lock on a nop is not allowed; 15 prefixes are too many
    in = Decode({0x06});
    EXPECT_TRUE(in.flags & c_fError);
    EXPECT_TRUE(in.flags & c_fErrorOpcode);
    in = Decode({0xF0, 0x90});
    EXPECT_TRUE(in.flags & c_fError);
    EXPECT_TRUE(in.flags & c_fErrorLock);
    in = Decode(
        {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x90});
    EXPECT_TRUE(in.flags & c_fErrorLength);
    EXPECT_EQ(15, in.length);
}

// ---------------------------------------------------------------------------------------------
// The engine's statuses

TEST(ApiHookEngineTest, OperationsBeforeInitializeAndInitializeTwice)
{
    auto body = [](const Check& check)
    {
        check(CreateHook(reinterpret_cast<void*>(&ApiHookTestRipTarget),
                         reinterpret_cast<void*>(&ApiHookTestRipImmTarget)) == ErrorNotInitialized,
              "CreateHook before Initialize");
        check(EnableHook(reinterpret_cast<void*>(&ApiHookTestRipTarget)) == ErrorNotInitialized,
              "EnableHook before Initialize");
        check(EnableHook(nullptr) == ErrorNotInitialized, "EnableHook(all) before Initialize");
        check(Initialize() == Ok, "first Initialize");
        check(Initialize() == ErrorAlreadyInitialized, "second Initialize");
        check(EnableHook(nullptr) == Ok, "EnableHook(all) with no hooks");
    };
    EXPECT_EXIT(RunChecksAndExit(body), ::testing::ExitedWithCode(0), "");
}

namespace
{

typedef int (*AddFn)(int, int);
AddFn g_addOriginal = nullptr;

__attribute__((noinline)) int HookedAdd(int a, int b)
{
    // Keeps the body longer than the patch in optimised builds too.
    volatile int bias = 0;
    return a + b + bias;
}

__attribute__((noinline)) int AddDetour(int a, int b)
{
    return g_addOriginal(a, b) + 1000;
}

__attribute__((noinline)) int NeverHooked(int a)
{
    asm volatile("" ::: "memory");
    return a * 3;
}

int g_notCode = 0;

} // namespace

TEST(ApiHookEngineTest, HooksAFunctionAndCallsThroughTheTrampoline)
{
    EnsureInitialized();
    AddFn volatile target = &HookedAdd;
    void* original = nullptr;
    CREATE_ONCE_OR_SKIP(reinterpret_cast<void*>(target), reinterpret_cast<void*>(&AddDetour), &original);
    ASSERT_NE(nullptr, original);
    g_addOriginal = reinterpret_cast<AddFn>(original);
    // Created, not enabled: the function is untouched, and the trampoline already works.
    EXPECT_EQ(5, target(2, 3));
    EXPECT_EQ(5, g_addOriginal(2, 3));
    // Within 32-bit reach of the target.
    const intptr_t distance = reinterpret_cast<intptr_t>(original) - reinterpret_cast<intptr_t>(target);
    EXPECT_LT(std::llabs(distance), 0x40000000LL);

    EXPECT_EQ(ErrorAlreadyCreated,
              CreateHook(reinterpret_cast<void*>(target), reinterpret_cast<void*>(&AddDetour), nullptr));
    ASSERT_EQ(Ok, EnableHook(reinterpret_cast<void*>(target)));
    EXPECT_EQ(1005, target(2, 3));
    EXPECT_EQ(-1, g_addOriginal(-4, 3));
    EXPECT_EQ(0xE9, reinterpret_cast<const uint8_t*>(target)[0]);

    EXPECT_EQ(ErrorEnabled, EnableHook(reinterpret_cast<void*>(target)));
    EXPECT_EQ(ErrorAlreadyCreated,
              CreateHook(reinterpret_cast<void*>(target), reinterpret_cast<void*>(&AddDetour), nullptr));
}

TEST(ApiHookEngineTest, RejectsWhatIsNotCreatedOrNotCode)
{
    EnsureInitialized();
    int (*volatile never)(int) = &NeverHooked;
    EXPECT_EQ(ErrorNotCreated, EnableHook(reinterpret_cast<void*>(never)));

    void* data = &g_notCode;
    EXPECT_EQ(ErrorNotExecutable, CreateHook(data, reinterpret_cast<void*>(&AddDetour), nullptr));
    EXPECT_EQ(ErrorNotExecutable, CreateHook(reinterpret_cast<void*>(never), data, nullptr));
    EXPECT_EQ(ErrorNotExecutable, CreateHook(nullptr, reinterpret_cast<void*>(&AddDetour), nullptr));

    // Mapped but not executable, and no longer mapped at all.
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, page);
    std::memset(page, 0x90, 4096);
    EXPECT_EQ(ErrorNotExecutable, CreateHook(page, reinterpret_cast<void*>(&AddDetour), nullptr));
    ::munmap(page, 4096);
    EXPECT_EQ(ErrorNotExecutable, CreateHook(page, reinterpret_cast<void*>(&AddDetour), nullptr));

    // None of these left an entry behind.
    EXPECT_EQ(ErrorNotCreated, EnableHook(data));
    EXPECT_EQ(ErrorNotCreated, EnableHook(reinterpret_cast<void*>(never)));
    EXPECT_EQ(3 * 7, never(7));
}

// ---------------------------------------------------------------------------------------------
// Relocation of the first instructions

namespace
{

int RipDetour()
{
    return -1;
}

int OtherDetour()
{
    return -2;
}

const uint8_t* AddressedBy(const uint8_t* code)
{
    Instruction in;
    const uint32_t len = DecodeInstruction(code, in);
    int32_t disp;
    std::memcpy(&disp, code + len - ImmediateSize(in.flags) - 4, 4);
    return code + len + disp;
}

} // namespace

TEST(ApiHookTrampolineTest, RipRelativeLoadAddressesTheSameDataFromTheCopy)
{
    EnsureInitialized();
    void* original = nullptr;
    CREATE_ONCE_OR_SKIP(reinterpret_cast<void*>(&ApiHookTestRipTarget), reinterpret_cast<void*>(&RipDetour),
                        &original);
    void* originalImm = nullptr;
    ASSERT_EQ(Ok, CreateHook(reinterpret_cast<void*>(&ApiHookTestRipImmTarget),
                             reinterpret_cast<void*>(&OtherDetour), &originalImm));
    ASSERT_EQ(Ok, EnableHook(reinterpret_cast<void*>(&ApiHookTestRipTarget)));
    ASSERT_EQ(Ok, EnableHook(reinterpret_cast<void*>(&ApiHookTestRipImmTarget)));

    const void* data = const_cast<const int*>(&ApiHookTestRipData);
    EXPECT_EQ(data, AddressedBy(static_cast<const uint8_t*>(original)));
    EXPECT_EQ(data, AddressedBy(static_cast<const uint8_t*>(originalImm)));
    // The immediate after the displacement is kept.
    EXPECT_EQ(5, static_cast<const uint8_t*>(originalImm)[6]);

    auto load = FnAt<int (*)()>(original);
    auto isFive = FnAt<int (*)()>(originalImm);
    ApiHookTestRipData = 1234;
    EXPECT_EQ(1234, load());
    EXPECT_EQ(0, isFive());
    ApiHookTestRipData = 5;
    EXPECT_EQ(5, load());
    EXPECT_EQ(1, isFive());
    EXPECT_EQ(-1, ApiHookTestRipTarget());
    EXPECT_EQ(-2, ApiHookTestRipImmTarget());
}

namespace
{

int g_helperCalls = 0;

int Helper42()
{
    ++g_helperCalls;
    return 42;
}

int Return100()
{
    return 100;
}

} // namespace

TEST(ApiHookTrampolineTest, BranchesLeavingThePatchBecomeAbsolute)
{
    EnsureInitialized();
    CodePage code = CodePageNear(reinterpret_cast<void*>(&Helper42));
    ASSERT_TRUE(code.Valid());

    // test edi, edi; jz +6; mov eax, 1; ret; mov eax, 2; ret
    code.Put(0, {0x85, 0xFF, 0x74, 0x06, 0xB8, 0x01, 0, 0, 0, 0xC3, 0xB8, 0x02, 0, 0, 0, 0xC3});
    void* jccOriginal = nullptr;
    ASSERT_EQ(Ok, CreateHook(code.At(0), reinterpret_cast<void*>(&Return100), &jccOriginal));
    const uint8_t* tr = static_cast<const uint8_t*>(jccOriginal);
    EXPECT_EQ(0x85, tr[0]);
    EXPECT_EQ(0x75, tr[2]); // jnz over the absolute jump
    EXPECT_EQ(0x0E, tr[3]);
    auto jcc = FnAt<int (*)(int)>(jccOriginal);
    EXPECT_EQ(2, jcc(0));
    EXPECT_EQ(1, jcc(9));

    // call Helper42; add eax, 1; ret
    code.PutRel32(32, 0xE8, reinterpret_cast<void*>(&Helper42));
    code.Put(37, {0x83, 0xC0, 0x01, 0xC3});
    void* callOriginal = nullptr;
    ASSERT_EQ(Ok, CreateHook(code.At(32), reinterpret_cast<void*>(&Return100), &callOriginal));
    const uint8_t absCall[] = {0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0xEB, 0x08};
    EXPECT_EQ(0, std::memcmp(callOriginal, absCall, sizeof(absCall)));
    g_helperCalls = 0;
    EXPECT_EQ(43, FnAt<int (*)()>(callOriginal)());
    EXPECT_EQ(1, g_helperCalls);

    // jmp Helper42: the trampoline is an absolute jump and nothing more
    code.PutRel32(64, 0xE9, reinterpret_cast<void*>(&Helper42));
    void* jmpOriginal = nullptr;
    ASSERT_EQ(Ok, CreateHook(code.At(64), reinterpret_cast<void*>(&Return100), &jmpOriginal));
    EXPECT_EQ(0xFF, static_cast<const uint8_t*>(jmpOriginal)[0]);
    EXPECT_EQ(0x25, static_cast<const uint8_t*>(jmpOriginal)[1]);
    EXPECT_EQ(42, FnAt<int (*)()>(jmpOriginal)());

    ASSERT_EQ(Ok, EnableHook(nullptr));
    EXPECT_EQ(100, FnAt<int (*)(int)>(code.At(0))(0));
    EXPECT_EQ(100, FnAt<int (*)()>(code.At(32))());
    EXPECT_EQ(100, FnAt<int (*)()>(code.At(64))());
    EXPECT_EQ(2, jcc(0));
    EXPECT_EQ(43, FnAt<int (*)()>(callOriginal)());
}

TEST(ApiHookTrampolineTest, ShortFunctionsArePatchedInPlaceOrAbove)
{
    EnsureInitialized();
    CodePage code;
    ASSERT_TRUE(code.Valid());

    // push 5; pop rax; ret, then filler: patched in place
    code.Put(0, {0x6A, 0x05, 0x58, 0xC3});
    void* inPlace = nullptr;
    ASSERT_EQ(Ok, CreateHook(code.At(0), reinterpret_cast<void*>(&Return100), &inPlace));

    // filler above; push 6; pop rax; ret; followed at once by another function: patched above
    code.Put(64, {0x6A, 0x06, 0x58, 0xC3, 0x6A, 0x08, 0x58, 0xC3});
    void* above = nullptr;
    ASSERT_EQ(Ok, CreateHook(code.At(64), reinterpret_cast<void*>(&Return100), &above));

    // code right above and right below: no room anywhere
    code.Put(124, {0x6A, 0x01, 0x58, 0xC3, 0x6A, 0x07, 0x58, 0xC3, 0x6A, 0x09, 0x58, 0xC3});
    EXPECT_EQ(ErrorUnsupportedFunction,
              CreateHook(code.At(128), reinterpret_cast<void*>(&Return100), nullptr));
    EXPECT_EQ(ErrorNotCreated, EnableHook(code.At(128)));

    ASSERT_EQ(Ok, EnableHook(code.At(0)));
    ASSERT_EQ(Ok, EnableHook(code.At(64)));
    EXPECT_EQ(0xE9, code.At(0)[0]);
    EXPECT_EQ(0xE9, code.At(64 - 5)[0]);
    EXPECT_EQ(0xEB, code.At(64)[0]);
    EXPECT_EQ(0xF9, code.At(64)[1]);

    EXPECT_EQ(100, FnAt<int (*)()>(code.At(0))());
    EXPECT_EQ(100, FnAt<int (*)()>(code.At(64))());
    EXPECT_EQ(5, FnAt<int (*)()>(inPlace)());
    EXPECT_EQ(6, FnAt<int (*)()>(above)());
    // The neighbour below the function patched above is untouched.
    EXPECT_EQ(8, FnAt<int (*)()>(code.At(68))());
    EXPECT_EQ(7, FnAt<int (*)()>(code.At(128))());
}

TEST(ApiHookTrampolineTest, UnrelocatableEntriesAreRejected)
{
    EnsureInitialized();
    CodePage code;
    ASSERT_TRUE(code.Valid());

    // loop and jrcxz that leave the patch room cannot be widened
    code.Put(0, {0xE2, 0x20, 0x90, 0x90, 0x90, 0xC3});
    EXPECT_EQ(ErrorUnsupportedFunction, CreateHook(code.At(0), reinterpret_cast<void*>(&Return100), nullptr));
    code.Put(16, {0xE3, 0x20, 0x90, 0x90, 0x90, 0xC3});
    EXPECT_EQ(ErrorUnsupportedFunction,
              CreateHook(code.At(16), reinterpret_cast<void*>(&Return100), nullptr));
    // xbegin: a relative branch that a plain copy would send elsewhere
    code.Put(32, {0xC7, 0xF8, 0x10, 0x00, 0x00, 0x00, 0xC3});
    EXPECT_EQ(ErrorUnsupportedFunction,
              CreateHook(code.At(32), reinterpret_cast<void*>(&Return100), nullptr));
    // an undecodable first byte
    code.Put(48, {0x06, 0x90, 0x90, 0x90, 0x90, 0xC3});
    EXPECT_EQ(ErrorUnsupportedFunction,
              CreateHook(code.At(48), reinterpret_cast<void*>(&Return100), nullptr));

    // jrcxz back to the entry stays inside the patch room: copied as it is
    code.Put(64, {0xE3, 0xFE, 0x90, 0x90, 0x90, 0xC3});
    void* tr = nullptr;
    EXPECT_EQ(Ok, CreateHook(code.At(64), reinterpret_cast<void*>(&Return100), &tr));
    ASSERT_NE(nullptr, tr);
    EXPECT_EQ(0xE3, static_cast<const uint8_t*>(tr)[0]);
    EXPECT_EQ(0xFE, static_cast<const uint8_t*>(tr)[1]);
    EXPECT_EQ(Ok, EnableHook(code.At(64)));

    for (size_t at : {0, 16, 32, 48})
        EXPECT_EQ(ErrorNotCreated, EnableHook(code.At(at)));
}

TEST(ApiHookTrampolineTest, RipRelativeDataOutOfReachOfTheTrampolineIsRejected)
{
    EnsureInitialized();
    CodePage code = IsolatedCodePage();
    if (!code.Valid())
        GTEST_SKIP() << "no free address range for an isolated code page";
    // mov eax, [rip + 0x7FFFFFF0]: the slot is taken below the target (downward search first),
    // from where the data lies beyond 2 GiB.
    code.Put(0, {0x8B, 0x05, 0xF0, 0xFF, 0xFF, 0x7F, 0xC3});
    EXPECT_EQ(ErrorUnsupportedFunction, CreateHook(code.At(0), reinterpret_cast<void*>(&Return100), nullptr));
    // The failed hook gave its slot back, and the block went with it.
    for (const MemoryRegion& r : ReadMemoryMap())
    {
        if (r.begin != code.Address(0))
        {
            EXPECT_FALSE(r.end > code.Address(0) - 0x40000000 && r.begin < code.Address(0) + 0x40000000)
                << std::hex << r.begin;
        }
    }
    // The same instruction with the data just behind it is fine.
    code.Put(16, {0x8B, 0x05, 0x00, 0x00, 0x00, 0x00, 0xC3});
    void* tr = nullptr;
    ASSERT_EQ(Ok, CreateHook(code.At(16), reinterpret_cast<void*>(&Return100), &tr));
    EXPECT_EQ(code.At(22), AddressedBy(static_cast<const uint8_t*>(tr)));
    EXPECT_EQ(Ok, EnableHook(code.At(16)));
}

// ---------------------------------------------------------------------------------------------
// Memory blocks

namespace
{

int Minus1()
{
    return -1;
}

} // namespace

TEST(ApiHookMemoryTest, SixtyFourthHookNearOnePlaceOpensASecondBlock)
{
    EnsureInitialized();
    CodePage code = IsolatedCodePage();
    if (!code.Valid())
        GTEST_SKIP() << "no free address range for an isolated code page";
    std::vector<uintptr_t> blocks;
    for (int i = 0; i < 64; ++i)
    {
        code.Put(16 * i, {0x6A, static_cast<uint8_t>(i), 0x58, 0xC3}); // push i; pop rax; ret
        void* tr = nullptr;
        ASSERT_EQ(Ok, CreateHook(code.At(16 * i), reinterpret_cast<void*>(&Minus1), &tr)) << i;
        blocks.push_back(reinterpret_cast<uintptr_t>(tr) & ~(c_blockSize - 1));
        // Each slot is 64 bytes, the first one of a block being its header.
        EXPECT_NE(0u, reinterpret_cast<uintptr_t>(tr) & (c_blockSize - 1));
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(tr) % c_slotSize);
    }
    for (int i = 1; i < 63; ++i)
        EXPECT_EQ(blocks[0], blocks[i]) << i;
    EXPECT_NE(blocks[0], blocks[63]);
    EXPECT_LT(std::llabs(static_cast<long long>(blocks[63] - code.Address(0))), 0x40000000LL);

    ASSERT_EQ(Ok, EnableHook(nullptr));
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(-1, FnAt<int (*)()>(code.At(16 * i))()) << i;
}

TEST(ApiHookMemoryTest, NoFreeMemoryWithinReach)
{
    EnsureInitialized();
    CodePage probe = IsolatedCodePage();
    if (!probe.Valid())
        GTEST_SKIP() << "no free address range for an isolated code page";
    // Fill 1 GiB on each side with an inaccessible reservation (it costs no memory), leaving
    // one executable page in the middle.
    const uintptr_t center = probe.Address(0);
    const size_t half = 0x40000000 + 0x100000;
    ::munmap(probe.At(0), 4 * 4096);
    void* res = ::mmap(reinterpret_cast<void*>(center - half), 2 * half, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(reinterpret_cast<void*>(center - half), res);
    ASSERT_EQ(0, ::mprotect(reinterpret_cast<void*>(center), 4096, PROT_READ | PROT_WRITE | PROT_EXEC));
    uint8_t* fn = reinterpret_cast<uint8_t*>(center);
    const uint8_t body[] = {0x6A, 0x05, 0x58, 0xC3, 0xCC, 0xCC, 0xCC, 0xCC};
    std::memcpy(fn, body, sizeof(body));

    EXPECT_EQ(ErrorMemoryAlloc, CreateHook(fn, reinterpret_cast<void*>(&Minus1), nullptr));
    EXPECT_EQ(ErrorNotCreated, EnableHook(fn));
    ::munmap(res, 2 * half);
}

// ---------------------------------------------------------------------------------------------
// Enabling all, and the patch failing

TEST(ApiHookEngineTest, EnableAllPatchesTheRestAndStopsAtTheFirstFailure)
{
    auto body = [](const Check& check)
    {
        check(Initialize() == Ok, "Initialize");
        CodePage code;
        check(code.Valid(), "code page");
        for (int i = 0; i < 3; ++i)
            code.Put(16 * i, {0x6A, static_cast<uint8_t>(i + 1), 0x58, 0xC3});
        // A function in a shared read-only file mapping: its protection cannot become writable.
        char path[] = "/tmp/apihook_roXXXXXX";
        const int fd = ::mkstemp(path);
        check(fd >= 0, "temp file");
        uint8_t page[4096];
        std::memset(page, 0xCC, sizeof(page));
        const uint8_t body[] = {0x6A, 0x09, 0x58, 0xC3};
        std::memcpy(page, body, sizeof(body));
        check(::write(fd, page, sizeof(page)) == static_cast<ssize_t>(sizeof(page)), "write");
        ::close(fd);
        const int rofd = ::open(path, O_RDONLY);
        void* ro = ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_SHARED, rofd, 0);
        ::close(rofd);
        ::unlink(path);
        if (ro == MAP_FAILED)
            ::_exit(0); // a noexec temporary folder: nothing to test here
        check(FnAt<int (*)()>(ro)() == 9, "read-only function runs");

        auto fn = [&](int i) { return FnAt<int (*)()>(code.At(16 * i)); };
        check(CreateHook(code.At(0), reinterpret_cast<void*>(&Minus1)) == Ok, "create 0");
        check(CreateHook(code.At(16), reinterpret_cast<void*>(&Minus1)) == Ok, "create 1");
        check(CreateHook(ro, reinterpret_cast<void*>(&Minus1)) == Ok, "create read-only");
        check(CreateHook(code.At(32), reinterpret_cast<void*>(&Minus1)) == Ok, "create 2");
        check(EnableHook(code.At(16)) == Ok, "enable 1");
        check(fn(0)() == 1 && fn(1)() == -1, "only 1 hooked");

        check(EnableHook(nullptr) == ErrorMemoryProtect, "enable all stops at the read-only one");
        check(fn(0)() == -1, "0 hooked by enable all");
        check(fn(2)() == 3, "2 (after the failure) not hooked");
        check(FnAt<int (*)()>(ro)() == 9, "read-only function unchanged");
        check(EnableHook(ro) == ErrorMemoryProtect, "read-only stays disabled");
        check(EnableHook(code.At(0)) == ErrorEnabled, "0 enabled");
        check(EnableHook(code.At(32)) == Ok, "enable 2");
        check(fn(2)() == -1, "2 hooked");
    };
    EXPECT_EXIT(RunChecksAndExit(body), ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------
// Parking the other threads

namespace
{

// A thread running fn; joined when the result comes within the time, else left behind (the test
// has failed then, and the process ends soon).
class TestThread
{
public:
    template <class F>
    explicit TestThread(F fn)
    {
        std::packaged_task<int()> task(fn);
        m_result = task.get_future();
        m_thread = std::thread(std::move(task));
    }
    ~TestThread()
    {
        if (m_thread.joinable())
            m_thread.detach();
    }
    bool Finish(int& result, std::chrono::seconds within = std::chrono::seconds(20))
    {
        if (m_result.wait_for(within) != std::future_status::ready)
            return false;
        result = m_result.get();
        m_thread.join();
        return true;
    }

private:
    std::future<int> m_result;
    std::thread m_thread;
};

template <class Pred>
bool WaitFor(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

TEST(ApiHookThreadsTest, ParkedThreadsReportWhereTheyStandAndCanBeMoved)
{
    std::atomic<pid_t> tids[2] = {{0}, {0}};
    TestThread a(
        [&]
        {
            tids[0] = Tid();
            return ApiHookTestSpinForever();
        });
    TestThread b(
        [&]
        {
            tids[1] = Tid();
            return ApiHookTestSpinForever();
        });
    ASSERT_TRUE(WaitFor([&] { return tids[0] != 0 && tids[1] != 0; }));

    const uintptr_t spin = reinterpret_cast<uintptr_t>(&ApiHookTestSpinForever);
    const uintptr_t exit = reinterpret_cast<uintptr_t>(&ApiHookTestSpinExit[0]);
    bool found[2] = {false, false};
    bool moved[2] = {false, false};
    bool callerListed = false;
    // A spinner may not have reached the loop yet on the first round.
    for (int round = 0; round < 100 && !(moved[0] && moved[1]); ++round)
    {
        ThreadParker parker;
        // Nothing that allocates while the others are parked.
        for (size_t i = 0; i < parker.Threads().size(); ++i)
        {
            const ThreadParker::Thread& t = parker.Threads()[i];
            callerListed = callerListed || t.tid == Tid();
            for (int k = 0; k < 2; ++k)
            {
                if (t.tid != tids[k] || moved[k])
                    continue;
                found[k] = true;
                if (t.parked && t.ip == spin)
                {
                    parker.MoveIp(i, exit);
                    moved[k] = true;
                }
            }
        }
    }
    EXPECT_FALSE(callerListed);
    for (int k = 0; k < 2; ++k)
    {
        EXPECT_TRUE(found[k]) << k;
        EXPECT_TRUE(moved[k]) << k;
    }
    int result = 0;
    ASSERT_TRUE(a.Finish(result));
    EXPECT_EQ(7, result);
    ASSERT_TRUE(b.Finish(result));
    EXPECT_EQ(7, result);
}

TEST(ApiHookThreadsTest, ThreadThatBlocksTheSignalIsReportedNotParkedWithinTheBound)
{
    std::atomic<pid_t> tid{0};
    std::atomic<bool> unblock{false};
    std::atomic<int> handledLater{0};
    TestThread blocker(
        [&]
        {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, ParkSignal());
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            tid = Tid();
            while (!unblock)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // The signal sent meanwhile arrives now and must let the thread go on at once.
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            handledLater = 1;
            return 11;
        });
    ASSERT_TRUE(WaitFor([&] { return tid != 0; }));

    bool listed = false;
    bool parked = true;
    size_t notParked = 0;
    {
        ThreadParker parker(200);
        for (const ThreadParker::Thread& t : parker.Threads())
        {
            if (t.tid == tid)
            {
                listed = true;
                parked = t.parked;
            }
        }
        notParked = parker.NotParkedCount();
    }
    EXPECT_TRUE(listed);
    EXPECT_FALSE(parked);
    EXPECT_GE(notParked, 1u);

    unblock = true;
    int result = 0;
    ASSERT_TRUE(blocker.Finish(result));
    EXPECT_EQ(11, result);
    EXPECT_EQ(1, handledLater.load());

    // The late signal left no trace: the next parking works as usual.
    std::atomic<pid_t> spinner{0};
    TestThread s(
        [&]
        {
            spinner = Tid();
            return ApiHookTestSpinForever();
        });
    ASSERT_TRUE(WaitFor([&] { return spinner != 0; }));
    bool moved = false;
    for (int round = 0; round < 100 && !moved; ++round)
    {
        ThreadParker parker;
        for (size_t i = 0; i < parker.Threads().size(); ++i)
        {
            const ThreadParker::Thread& t = parker.Threads()[i];
            if (t.tid == spinner && t.parked && t.ip == reinterpret_cast<uintptr_t>(&ApiHookTestSpinForever))
            {
                parker.MoveIp(i, reinterpret_cast<uintptr_t>(&ApiHookTestSpinExit[0]));
                moved = true;
            }
        }
    }
    EXPECT_TRUE(moved);
    ASSERT_TRUE(s.Finish(result));
    EXPECT_EQ(7, result);
}

namespace
{

int SpinDetour(const volatile int*)
{
    return 7;
}

} // namespace

TEST(ApiHookThreadsTest, EnablingWhileAnotherThreadSpinsInTheFirstBytes)
{
    EnsureInitialized();
    // The spinner's whole loop lies in the 5 bytes the patch replaces: unless the engine moves it
    // into the trampoline, it runs into the middle of the new jump.
    void* original = nullptr;
    CREATE_ONCE_OR_SKIP(reinterpret_cast<void*>(&ApiHookTestSpinTarget), reinterpret_cast<void*>(&SpinDetour),
                        &original);
    volatile int stop = 0;
    std::atomic<bool> started{false};
    std::atomic<pid_t> spinnerTid{0};
    TestThread spinner(
        [&]
        {
            spinnerTid = Tid();
            started = true;
            return ApiHookTestSpinTarget(&stop);
        });
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    // Wait until it stands in the loop.
    const uintptr_t entry = reinterpret_cast<uintptr_t>(&ApiHookTestSpinTarget);
    bool inLoop = false;
    for (int round = 0; round < 1000 && !inLoop; ++round)
    {
        ThreadParker parker;
        for (const ThreadParker::Thread& t : parker.Threads())
            inLoop = inLoop || (t.tid == spinnerTid && t.parked && t.ip >= entry && t.ip < entry + 6);
    }
    ASSERT_TRUE(inLoop);

    ASSERT_EQ(Ok, EnableHook(reinterpret_cast<void*>(&ApiHookTestSpinTarget)));

    stop = 1;
    int result = 0;
    ASSERT_TRUE(spinner.Finish(result));
    // It finished the original function (in the trampoline), not the detour.
    EXPECT_EQ(42, result);
    EXPECT_EQ(7, ApiHookTestSpinTarget(&stop));
    EXPECT_EQ(42, FnAt<int (*)(const volatile int*)>(original)(&stop));
}
