#include "Platform/StackTrace.h"
#include "Platform/TypeName.h"
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <pwd.h>
#include <stdio_ext.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unwind.h>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <exception>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include "Platform/DebugOutput.h"
#include "Platform/FaultSignals.h"
#include "Platform/HaltPathLock.h"
#include "Platform/SysInfo.h"

namespace Platform
{

namespace
{

const char* const c_marker = "Platform::GetStackTrace";
const char* const c_gateMarker = "Platform::CaptureStackTrace";
// How long the fault path waits for another thread's symbol lookup before it gives up on names.
const auto c_faultLockWait = std::chrono::milliseconds(2000);
// Resolved addresses kept; the cache starts afresh when it is full.
const size_t c_cacheLimit = 20000;

std::atomic<int> g_forcedSymbolFlag(-1);

long CurrentTid()
{
    return ::syscall(SYS_gettid);
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* fmt, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    return buf;
}

// Texts of StackEntry are cut at 1023 characters, as the symbol records always were.
std::string Cut(std::string s)
{
    if (s.size() > 1023)
        s.resize(1023);
    return s;
}

// ---- the modules for libdw, on the fault path ----

// The memory map as libdw reads it, through a C stream, but one stream for the fault reporter's
// whole life: opened on its thread when it starts, closed when it stops; each use refills it from
// the map read with read(2). Used on that thread only.
class MapsStream
{
public:
    MapsStream()
    {
        const cookie_io_functions_t io = {&Read, nullptr, nullptr, nullptr};
        m_file = ::fopencookie(this, "r", io);
        // Fully buffered, in a buffer of its own: the C library refills an unbuffered or
        // line-buffered input stream only after taking standard output's lock (to flush it), which
        // a thread stopped by a fault inside printf holds for good.
        if (m_file != nullptr && ::setvbuf(m_file, m_buffer, _IOFBF, sizeof(m_buffer)) != 0)
        {
            ::fclose(m_file);
            m_file = nullptr;
        }
    }

    // Takes the stream off the C library's list: left there, it would point into a library that
    // the host may unload.
    ~MapsStream()
    {
        if (m_file != nullptr)
            ::fclose(m_file);
    }

    MapsStream(const MapsStream&) = delete;
    MapsStream& operator=(const MapsStream&) = delete;

    bool Usable() const { return m_file != nullptr; }

    int Report(Dwfl* dwfl, int pid)
    {
        const std::string map = ReadSmallFile("/proc/" + std::to_string(pid) + "/maps");
        if (map.empty())
            return ENOENT;
        // The map names no file for the vDSO. As dwfl_linux_proc_report does (it finds the vDSO
        // through the auxiliary vector), the vDSO ends the module before it and is one of its own,
        // under the name by which find_elf reads it from memory.
        const char c_vdso[] = " [vdso]\n";
        const size_t vdso = map.find(c_vdso);
        if (vdso == std::string::npos)
            return ReportLines(dwfl, map);
        const size_t line = map.rfind('\n', vdso) + 1; // npos + 1 is 0
        const int before = ReportLines(dwfl, map.substr(0, line));
        unsigned long long low = 0, high = 0;
        if (std::sscanf(map.c_str() + line, "%llx-%llx", &low, &high) == 2)
            dwfl_report_module(dwfl, Format("[vdso: %d]", pid).c_str(), low, high);
        const int after = ReportLines(dwfl, map.substr(vdso + sizeof(c_vdso) - 1));
        return before != 0 ? before : after;
    }

private:
    static ssize_t Read(void* cookie, char* buf, size_t size)
    {
        MapsStream& s = *static_cast<MapsStream*>(cookie);
        const size_t n = std::min(size, s.m_map.size() - s.m_pos);
        std::memcpy(buf, s.m_map.data() + s.m_pos, n);
        s.m_pos += n;
        return static_cast<ssize_t>(n);
    }

    int ReportLines(Dwfl* dwfl, std::string lines)
    {
        m_map = std::move(lines);
        m_pos = 0;
        // The next read comes from the new lines: bytes of an older map still buffered (libdw
        // stops at a line it cannot read) are dropped, and the end seen then is forgotten.
        ::__fpurge(m_file);
        ::clearerr(m_file);
        const int rc = dwfl_linux_proc_maps_report(dwfl, m_file);
        // Nothing stays buffered for the C library to seek back over when it syncs its streams.
        ::__fpurge(m_file);
        return rc;
    }

    FILE* m_file;
    char m_buffer[8192];
    std::string m_map;
    size_t m_pos = 0;
};

// The fault reporter's own walker and stream, while it runs (StartFaultPathSymbolEngine).
std::atomic<StackWalker*> g_faultPathWalker{nullptr};
std::atomic<MapsStream*> g_faultPathMaps{nullptr};

// The modules of this process for libdw (between dwfl_report_begin and dwfl_report_end), as
// dwfl_linux_proc_report reports them; on the fault reporter's thread without opening or closing a
// C stream: that takes the C library's lock of its list of streams, which a thread stopped by a
// fault inside fopen or fclose (a stream closed twice, say) holds for good. 0 or an errno value.
int ReportProcessModules(Dwfl* dwfl)
{
    MapsStream* const maps = g_faultPathMaps.load();
    const bool own = maps != nullptr && IsFaultReporterThread();
    return own ? maps->Report(dwfl, ::getpid()) : dwfl_linux_proc_report(dwfl, ::getpid());
}

// libdw opens the modules' files without close-on-exec and keeps them while its session lasts;
// inside a host process they must not reach the host's other children.
int FindElfCloseOnExec(Dwfl_Module* mod, void** userData, const char* moduleName, Dwarf_Addr base,
                       char** fileName, Elf** elf)
{
    const int fd = dwfl_linux_proc_find_elf(mod, userData, moduleName, base, fileName, elf);
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    return fd;
}

// Separate debug files are looked for on this machine only: by build id under /usr/lib/debug,
// and through .gnu_debuglink next to the module. No network lookup (debuginfod) ever happens.
int FindLocalDebuginfo(Dwfl_Module* mod, void**, const char*, Dwarf_Addr, const char* fileName,
                       const char* debuglinkFile, GElf_Word, char** debuginfoFileName)
{
    std::vector<std::string> candidates;
    const unsigned char* bits = nullptr;
    GElf_Addr vaddr = 0;
    int len = dwfl_module_build_id(mod, &bits, &vaddr);
    if (len > 1)
    {
        std::string hex;
        for (int i = 0; i < len; ++i)
            hex += Format("%02x", bits[i]);
        candidates.push_back("/usr/lib/debug/.build-id/" + hex.substr(0, 2) + "/" + hex.substr(2) + ".debug");
    }
    if (debuglinkFile != nullptr && fileName != nullptr)
    {
        std::string file(fileName);
        std::string dir = file.substr(0, file.find_last_of('/') + 1);
        for (const std::string& c :
             {dir + debuglinkFile, dir + ".debug/" + debuglinkFile, "/usr/lib/debug" + dir + debuglinkFile})
        {
            if (c != file)
                candidates.push_back(c);
        }
    }
    for (const std::string& c : candidates)
    {
        int fd = ::open(c.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
        {
            *debuginfoFileName = ::strdup(c.c_str());
            return fd;
        }
    }
    return -1;
}

const char* const c_symTypes[] = {"-nosymbols-", "COFF", "CV",  "PDB",    "-exported-",
                                  "-deferred-",  "SYM",  "DIA", "Virtual"};
const int c_symDeferred = 5;

// ---- walking ----

struct RawWalk
{
    const ucontext_t* context = nullptr;
    uintptr_t startIp = 0;
    bool started = false;
    unsigned repeats = 0;
    bool endless = false;
    bool cut = false;
    std::vector<uint64_t> pcs;
    uintptr_t lastIp = 0;
};

// Adds one program counter; false when the walk has to stop (endless recursion, frame limit).
// exact: the faulting instruction itself rather than a return address.
bool AddFrame(RawWalk& w, uintptr_t ip, bool exact)
{
    if (w.started && ip == w.lastIp)
    {
        // One call site calling itself again and again: an endless (or runaway) recursion.
        if (w.repeats > StackWalker::c_repeatLimit)
        {
            w.endless = true;
            return false;
        }
        ++w.repeats;
    }
    else
    {
        w.repeats = 0;
    }
    w.started = true;
    w.lastIp = ip;
    // A return address points after the call; the call itself is one byte earlier.
    w.pcs.push_back(exact ? ip : ip - 1);
    if (w.pcs.size() >= StackWalker::c_maxFrames)
    {
        w.cut = true;
        return false;
    }
    return true;
}

_Unwind_Reason_Code CollectFrame(struct _Unwind_Context* ctx, void* arg)
{
    RawWalk& w = *static_cast<RawWalk*>(arg);
    int beforeInsn = 0;
    uintptr_t ip = _Unwind_GetIPInfo(ctx, &beforeInsn);
    if (ip == 0)
        return _URC_END_OF_STACK;
    if (!w.started && w.context != nullptr && ip != w.startIp)
        return _URC_NO_REASON;
    // A faulting frame (signal frame) gives the exact instruction.
    return AddFrame(w, ip, beforeInsn != 0) ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// ---- walking another thread's stack from its context ----
//
// libgcc's unwinder walks only the calling thread's own stack. The fault reporter runs on a
// thread of its own, so a fault's stack is walked with libdw's unwinder, which starts from
// registers given to it and reads the (stopped) thread's stack through the kernel.

struct ContextWalk
{
    const ucontext_t* context;
    pid_t tid;
    bool given;
    RawWalk* walk;
};

pid_t ContextNextThread(Dwfl*, void* dwflArg, void** threadArg)
{
    ContextWalk& c = *static_cast<ContextWalk*>(dwflArg);
    if (c.given)
        return 0;
    c.given = true;
    *threadArg = &c;
    return c.tid;
}

// The stack may end in unmapped memory: the kernel answers a bad address with an error.
bool ContextMemoryRead(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void*)
{
    struct iovec local = {result, sizeof(*result)};
    struct iovec remote = {reinterpret_cast<void*>(static_cast<uintptr_t>(address)), sizeof(*result)};
    return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof(*result));
}

bool ContextInitialRegisters(Dwfl_Thread* thread, void* threadArg)
{
    const greg_t* g = static_cast<ContextWalk*>(threadArg)->context->uc_mcontext.gregs;
    // The DWARF numbering of x86-64: rax rdx rcx rbx rsi rdi rbp rsp r8..r15 rip.
    const Dwarf_Word regs[] = {
        Dwarf_Word(g[REG_RAX]), Dwarf_Word(g[REG_RDX]), Dwarf_Word(g[REG_RCX]), Dwarf_Word(g[REG_RBX]),
        Dwarf_Word(g[REG_RSI]), Dwarf_Word(g[REG_RDI]), Dwarf_Word(g[REG_RBP]), Dwarf_Word(g[REG_RSP]),
        Dwarf_Word(g[REG_R8]),  Dwarf_Word(g[REG_R9]),  Dwarf_Word(g[REG_R10]), Dwarf_Word(g[REG_R11]),
        Dwarf_Word(g[REG_R12]), Dwarf_Word(g[REG_R13]), Dwarf_Word(g[REG_R14]), Dwarf_Word(g[REG_R15]),
        Dwarf_Word(g[REG_RIP])};
    dwfl_thread_state_register_pc(thread, Dwarf_Word(g[REG_RIP]));
    return dwfl_thread_state_registers(thread, 0, sizeof(regs) / sizeof(regs[0]), regs);
}

int ContextFrame(Dwfl_Frame* frame, void* arg)
{
    RawWalk& w = *static_cast<RawWalk*>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(frame, &pc, &activation) || pc == 0)
        return DWARF_CB_ABORT;
    return AddFrame(w, static_cast<uintptr_t>(pc), activation) ? DWARF_CB_OK : DWARF_CB_ABORT;
}

// The context's stack, walked with an unwinder of its own (its state belongs to this one walk).
void WalkFromContext(const ucontext_t* context, RawWalk& w)
{
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, FindLocalDebuginfo, nullptr, nullptr};
    static const Dwfl_Thread_Callbacks threadCallbacks = {
        ContextNextThread, nullptr, ContextMemoryRead, ContextInitialRegisters, nullptr, nullptr};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl == nullptr)
        return;
    ContextWalk c{context, static_cast<pid_t>(::syscall(SYS_gettid)), false, &w};
    dwfl_report_begin(dwfl);
    const bool reported = ReportProcessModules(dwfl) == 0;
    dwfl_report_end(dwfl, nullptr, nullptr);
    if (reported && dwfl_attach_state(dwfl, nullptr, ::getpid(), &threadCallbacks, &c))
        dwfl_getthread_frames(dwfl, c.tid, &ContextFrame, &w);
    dwfl_end(dwfl);
}

uintptr_t ContextIp(const ucontext_t* uc)
{
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
}

} // namespace

// ---- the walker ----

class StackWalker::Impl
{
public:
    Dwfl* dwfl = nullptr;
    bool modulesLoaded = false;
    bool initFailed = false;
    int ownSymbols = -1;
    std::unordered_map<uint64_t, StackEntry> cache;
    std::unordered_set<uint64_t> misses; // addresses in no module, even after a fresh report
    Dwfl_Callbacks callbacks;
    char* debuginfoPath = nullptr;

    std::timed_mutex lock;
    std::atomic<long> owner{0};

    // Takes the symbol lock; false when it could not (held by this very thread, or the fault
    // path waited in vain).
    bool Lock(bool faultPath)
    {
        if (owner.load() == CurrentTid())
            return false;
        if (faultPath)
        {
            if (!TryLockForHaltPath(lock, c_faultLockWait))
                return false;
        }
        else
        {
            lock.lock();
        }
        owner = CurrentTid();
        return true;
    }

    void Unlock()
    {
        owner = 0;
        lock.unlock();
    }
};

namespace
{

class LockScope
{
public:
    LockScope(StackWalker::Impl& impl, bool faultPath) : m_impl(impl), m_locked(impl.Lock(faultPath)) {}
    ~LockScope()
    {
        if (m_locked)
            m_impl.Unlock();
    }
    bool Locked() const { return m_locked; }

private:
    StackWalker::Impl& m_impl;
    bool m_locked;
};

} // namespace

StackWalker::StackWalker() : m_impl(std::make_unique<Impl>())
{
    std::memset(&m_impl->callbacks, 0, sizeof(m_impl->callbacks));
    m_impl->callbacks.find_elf = FindElfCloseOnExec;
    m_impl->callbacks.find_debuginfo = FindLocalDebuginfo;
    m_impl->callbacks.debuginfo_path = &m_impl->debuginfoPath;
}

StackWalker::~StackWalker()
{
    if (m_impl->dwfl != nullptr)
        dwfl_end(m_impl->dwfl);
}

std::vector<std::pair<uint64_t, uint64_t>> StackWalker::GetCallstack(const ucontext_t* context)
{
    RawWalk w;
    w.context = context;
    if (context != nullptr)
        w.startIp = ContextIp(context);
    _Unwind_Backtrace(CollectFrame, &w);

    if (context != nullptr && !w.started)
    {
        // The context belongs to another thread (the fault reporter reports for the faulting
        // one): walk from its registers. When even that finds nothing, only its own instruction
        // is known.
        WalkFromContext(context, w);
        if (w.pcs.empty())
            w.pcs.assign(1, static_cast<uint64_t>(w.startIp));
    }

    std::vector<std::pair<uint64_t, uint64_t>> res;
    res.reserve(w.pcs.size());
    for (size_t i = 0; i < w.pcs.size(); ++i)
        res.emplace_back(w.pcs[i], (i + 1 < w.pcs.size()) ? w.pcs[i + 1] : 0);

    const char* end = "StackWalk64";
    if (w.endless)
        end = "StackWalk64-Endless-Callstack!";
    else if (w.cut)
        end = "StackWalk64-Frame-Limit!";
    ReportError(end, 0, res.empty() ? 0 : res.back().first);
    return res;
}

namespace
{

// The user name for the symbol engine's start-up line; "" when it cannot be had.
std::string EffectiveUserName()
{
    struct passwd pw;
    struct passwd* ppw = nullptr;
    char buf[1024];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof(buf), &ppw) == 0 && ppw != nullptr)
        return ppw->pw_name;
    return std::string();
}

// The symbol of the address into the entry; false when there is none.
bool FillSymbol(Dwfl_Module* mod, uint64_t address, StackEntry& e)
{
    GElf_Off offset = 0;
    GElf_Sym sym;
    const char* name =
        dwfl_module_addrinfo(mod, static_cast<GElf_Addr>(address), &offset, &sym, nullptr, nullptr, nullptr);
    if (name == nullptr)
        return false;
    e.name = Cut(name);
    e.undName = Cut(DemangleName(name));
    e.undFullName = e.undName;
    e.offsetFromSymbol = offset;
    return true;
}

// The source line of the address into the entry; false when the module has no line table for it.
bool FillLine(Dwfl_Module* mod, uint64_t address, StackEntry& e)
{
    Dwfl_Line* line = dwfl_module_getsrc(mod, static_cast<Dwarf_Addr>(address));
    if (line == nullptr)
        return false;
    Dwarf_Addr lineAddr = 0;
    int lineNo = 0;
    const char* file = dwfl_lineinfo(line, &lineAddr, &lineNo, nullptr, nullptr, nullptr);
    if (file != nullptr)
    {
        e.lineFileName = Cut(file);
        e.lineNumber = static_cast<uint32_t>(lineNo);
        e.offsetFromLine = static_cast<uint32_t>(address - lineAddr);
    }
    return true;
}

void FillModule(Dwfl_Module* mod, StackEntry& e)
{
    Dwarf_Addr start = 0;
    const char* mainFile = nullptr;
    const char* modName = dwfl_module_info(mod, nullptr, &start, nullptr, nullptr, nullptr, &mainFile, nullptr);
    e.moduleName = Cut(modName ? modName : "");
    e.baseOfImage = start;
    e.loadedImageName = Cut(mainFile ? mainFile : "");
    e.symTypeString = c_symTypes[c_symDeferred];
}

} // namespace

int StackWalker::GetEntry(uint64_t address, StackEntry& entry, bool faultPath)
{
    if (address == 0)
        return 0;
    LockScope lock(*m_impl, faultPath);
    if (!lock.Locked())
        return 0;

    auto cached = m_impl->cache.find(address);
    if (cached != m_impl->cache.end())
    {
        entry = cached->second;
        return 1;
    }
    if (!StartSymbolEngineLocked())
        return 0;
    Dwfl_Module* mod = FindModuleLocked(address);
    if (mod == nullptr)
        return 0;
    entry = DescribeAddressLocked(mod, address);
    if (m_impl->cache.size() >= c_cacheLimit)
        m_impl->cache.clear();
    m_impl->cache.emplace(address, entry);
    return 1;
}

void StackWalker::StartSymbolEngine()
{
    LockScope lock(*m_impl, false);
    if (lock.Locked())
        StartSymbolEngineLocked();
}

bool StackWalker::StartSymbolEngineLocked()
{
    Impl& d = *m_impl;
    if (d.dwfl != nullptr)
        return true;
    if (d.initFailed)
        return false;
    d.dwfl = dwfl_begin(&d.callbacks);
    if (d.dwfl == nullptr)
    {
        d.initFailed = true;
        ReportError("Error while initializing libdw", 0, 0);
        return false;
    }
    // The name service takes locks of its own and may ask a daemon that does not answer: on the
    // halt path the user goes by number.
    const std::string user = OnHaltPath() ? std::to_string(::geteuid()) : EffectiveUserName();
    ReportSymbolInit("", 0, user.c_str());
    return true;
}

Dwfl_Module* StackWalker::FindModuleLocked(uint64_t address)
{
    Impl& d = *m_impl;
    Dwfl_Module* mod = d.modulesLoaded ? dwfl_addrmodule(d.dwfl, address) : nullptr;
    if (mod == nullptr && d.misses.count(address) == 0)
    {
        // First use, or a module loaded since the last report (dlopen): report the process's
        // modules (again); modules already known are kept as they are.
        dwfl_report_begin_add(d.dwfl);
        const int rc = ReportProcessModules(d.dwfl);
        dwfl_report_end(d.dwfl, nullptr, nullptr);
        if (rc != 0)
            ReportError("dwfl_linux_proc_report", static_cast<uint32_t>(rc), 0);
        if (!d.modulesLoaded)
        {
            d.modulesLoaded = true;
            ReportLoadedModulesLocked();
        }
        mod = dwfl_addrmodule(d.dwfl, address);
    }
    if (mod != nullptr)
        return mod;
    if (d.misses.size() >= c_cacheLimit)
        d.misses.clear();
    d.misses.insert(address);
    ReportError("SymGetModuleInfo64", 0, address);
    return nullptr;
}

void StackWalker::ReportLoadedModulesLocked()
{
    dwfl_getmodules(
        m_impl->dwfl,
        [](Dwfl_Module* m, void**, const char*, Dwarf_Addr, void* arg) -> int
        {
            Dwarf_Addr start = 0, end = 0;
            const char* mainFile = nullptr;
            const char* name = dwfl_module_info(m, nullptr, &start, &end, nullptr, nullptr, &mainFile, nullptr);
            static_cast<StackWalker*>(arg)->ReportModuleLoad(mainFile ? mainFile : "", name ? name : "", start,
                                                             static_cast<uint32_t>(end - start), 0,
                                                             c_symTypes[c_symDeferred], "", 0);
            return DWARF_CB_OK;
        },
        this, 0);
}

StackEntry StackWalker::DescribeAddressLocked(Dwfl_Module* mod, uint64_t address)
{
    StackEntry e;
    e.address = address;
    if (!FillSymbol(mod, address, e))
        ReportError("SymGetSymFromAddr64", 0, address);
    if (!FillLine(mod, address, e))
        ReportError("SymGetLineFromAddr64", 0, address);
    FillModule(mod, e);
    return e;
}

bool StackWalker::HasOwnSymbols(bool faultPath)
{
    int forced = g_forcedSymbolFlag.load();
    if (forced >= 0)
        return forced != 0;

    uint64_t self = reinterpret_cast<uint64_t>(reinterpret_cast<void*>(&GetStackTrace));
    StackEntry probe;
    GetEntry(self, probe, faultPath); // loads the modules
    LockScope lock(*m_impl, faultPath);
    if (!lock.Locked() || m_impl->dwfl == nullptr)
        return false;
    if (m_impl->ownSymbols >= 0)
        return m_impl->ownSymbols != 0;

    bool has = false;
    if (Dwfl_Module* mod = dwfl_addrmodule(m_impl->dwfl, self))
    {
        Dwarf_Addr bias = 0;
        if (dwfl_module_getdwarf(mod, &bias) != nullptr)
        {
            has = true;
        }
        else if (Elf* elf = dwfl_module_getelf(mod, &bias))
        {
            for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn != nullptr && !has;
                 scn = elf_nextscn(elf, scn))
            {
                GElf_Shdr shdr;
                if (gelf_getshdr(scn, &shdr) != nullptr && shdr.sh_type == SHT_SYMTAB)
                    has = true;
            }
        }
    }
    m_impl->ownSymbols = has ? 1 : 0;
    return has;
}

void StackWalker::ReportSymbolInit(const char* searchPath, uint32_t symOptions, const char* userName)
{
    WriteOutput(Format("SymInit: Symbol-SearchPath: '%s', symOptions: %d, UserName: '%s'\n", searchPath,
                       static_cast<int>(symOptions), userName)
                    .c_str());
}

void StackWalker::ReportModuleLoad(const char* img, const char* mod, uint64_t baseAddr, uint32_t size,
                                   uint32_t result, const char* symType, const char* pdbName,
                                   uint64_t fileVersion)
{
    const void* base = reinterpret_cast<const void*>(static_cast<uintptr_t>(baseAddr));
    if (fileVersion == 0)
    {
        WriteOutput(Format("%s:%s (%p), size: %d (result: %d), SymType: '%s', PDB: '%s'\n", img, mod, base,
                           static_cast<int>(size), static_cast<int>(result), symType, pdbName)
                        .c_str());
    }
    else
    {
        WriteOutput(
            Format("%s:%s (%p), size: %d (result: %d), SymType: '%s', PDB: '%s', fileVersion: %d.%d.%d.%d\n",
                   img, mod, base, static_cast<int>(size), static_cast<int>(result), symType, pdbName,
                   static_cast<int>((fileVersion >> 48) & 0xffff),
                   static_cast<int>((fileVersion >> 32) & 0xffff),
                   static_cast<int>((fileVersion >> 16) & 0xffff), static_cast<int>(fileVersion & 0xffff))
                .c_str());
    }
}

void StackWalker::ReportError(const char* funcName, uint32_t gle, uint64_t addr)
{
    WriteOutput(Format("ERROR: %s, GetLastError: %d (Address: %p)\n", funcName, static_cast<int>(gle),
                       reinterpret_cast<const void*>(static_cast<uintptr_t>(addr)))
                    .c_str());
}

void StackWalker::WriteOutput(const char* text)
{
    DebugOutput(text);
}

StackWalker& GetStackWalker()
{
    // Created on first use and never destroyed: traces are taken until the very end.
    static StackWalker* const walker = new StackWalker();
    return *walker;
}

namespace
{
// The walker outlives the module, but what it holds must not: a host that unloads the library
// would keep the files libdw holds open for it, and its caches, once more at every load.
struct ReleaseFilesAtUnload
{
    ~ReleaseFilesAtUnload() { ReleaseStackTraceFiles(); }
} g_releaseFilesAtUnload;
} // namespace

void ReleaseStackTraceFiles()
{
    StackWalker& walker = GetStackWalker();
    LockScope lock(*walker.m_impl, false);
    if (!lock.Locked() || walker.m_impl->dwfl == nullptr)
        return;
    dwfl_end(walker.m_impl->dwfl);
    walker.m_impl->dwfl = nullptr;
    walker.m_impl->modulesLoaded = false;
    walker.m_impl->initFailed = false;
    // Swapped with empty ones: clear() keeps the tables' memory.
    std::unordered_map<uint64_t, StackEntry>().swap(walker.m_impl->cache);
    std::unordered_set<uint64_t>().swap(walker.m_impl->misses);
}

namespace
{

std::vector<uint64_t> FramesOf(const std::vector<std::pair<uint64_t, uint64_t>>& pairs)
{
    std::vector<uint64_t> res;
    res.reserve(pairs.size());
    for (const auto& p : pairs)
        res.push_back(p.first);
    return res;
}

} // namespace

__attribute__((noinline)) std::vector<uint64_t> GetStackFrames(const ucontext_t* context)
{
    return FramesOf(GetStackWalker().GetCallstack(context));
}

StackEntry GetFrameEntry(uint64_t address)
{
    StackEntry e;
    if (GetStackWalker().GetEntry(address, e, false) < 1)
        e = StackEntry();
    return e;
}

namespace
{

// The fault reporter resolves with a walker of its own, made on its thread: whatever the symbol
// engine allocates, grows or frees for it lies in the reporter's heap arena, never in the
// arena of a faulting thread that may hold that arena's lock.
StackWalker& FaultPathWalker()
{
    StackWalker* const own = IsFaultReporterThread() ? g_faultPathWalker.load() : nullptr;
    return own != nullptr ? *own : GetStackWalker();
}

} // namespace

void StartFaultPathSymbolEngine()
{
    StopFaultPathSymbolEngine();
    auto walker = std::make_unique<StackWalker>();
    walker->StartSymbolEngine();
    g_faultPathWalker = walker.release();
    auto maps = std::make_unique<MapsStream>();
    if (maps->Usable())
        g_faultPathMaps = maps.release();
}

void StopFaultPathSymbolEngine()
{
    delete g_faultPathWalker.exchange(nullptr);
    delete g_faultPathMaps.exchange(nullptr);
}

StackEntry GetFrameEntryNoWait(uint64_t address)
{
    StackEntry e;
    if (FaultPathWalker().GetEntry(address, e, true) < 1)
        e = StackEntry();
    return e;
}

// Must stay a frame of its own: its name marks where the machinery's frames end.
__attribute__((noinline)) std::string GetStackTrace(bool skip)
{
    try
    {
        // On the halt path the fault reporter's own walker, and locks only tried.
        const bool haltPath = OnHaltPath();
        StackWalker& walker = haltPath ? FaultPathWalker() : GetStackWalker();
        const bool symbols = walker.HasOwnSymbols(haltPath);
        auto format = [symbols](const StackEntry& e, uint64_t address)
        {
            std::string name = e.undFullName.empty() ? e.name : e.undFullName;
            // The frame's name alone: readers of reports parse these lines.
            if (name.empty())
                name = "<undefined>";
            if (symbols)
                return name;
            return Format("0x%016llx\t", static_cast<unsigned long long>(address)) + name;
        };

        std::vector<uint64_t> frames = GetStackFrames(nullptr);
        std::vector<std::string> lines;
        lines.reserve(frames.size());
        for (uint64_t a : frames)
        {
            StackEntry e;
            walker.GetEntry(a, e, haltPath);
            lines.push_back(format(e, a) + "\n");
        }

        size_t first = 0;
        if (symbols && skip)
        {
            // Drop everything up to and including this function, then the public gate that
            // called it. When the marker is missing (names did not resolve) nothing is dropped:
            // a trace with extra lines beats an empty one.
            for (size_t i = 0; i < lines.size(); ++i)
            {
                if (lines[i].find(c_marker) != std::string::npos)
                {
                    first = i + 1;
                    break;
                }
            }
            while (first > 0 && first < lines.size() && lines[first].find(c_gateMarker) != std::string::npos)
                ++first;
        }

        std::string res;
        for (size_t i = first; i < lines.size(); ++i)
            res += lines[i];
        if (frames.size() >= StackWalker::c_maxFrames)
            res += "<stack trace cut after " + std::to_string(StackWalker::c_maxFrames) + " frames>\n";
        return res;
    }
    catch (const std::exception& e)
    {
        return std::string("StackWalkerEx Exception: ") + e.what();
    }
    catch (...)
    {
        return "StackWalkerEx: Unexpected exception occured";
    }
}

namespace
{

std::recursive_timed_mutex& CaptureLock()
{
    // Recursive: an assertion raised while a trace is taken takes a trace of its own.
    static std::recursive_timed_mutex* const m = new std::recursive_timed_mutex();
    return *m;
}

} // namespace

void CaptureStackTrace(std::string& out)
{
    out.clear();
    // The "no traces on Windows major version 5" rule has no counterpart here.
    // On the halt path only tried, as long as the symbol lock.
    if (!LockBoundedOnHaltPath(CaptureLock(), c_faultLockWait))
        return;
    std::lock_guard<std::recursive_timed_mutex> lock(CaptureLock(), std::adopt_lock);
    out = GetStackTrace(true);
}

std::string CaptureStackTrace()
{
    std::string res;
    CaptureStackTrace(res);
    return res;
}

namespace detail
{

void ForceSymbolFileFlag(int value)
{
    g_forcedSymbolFlag = value;
}

} // namespace detail

} // namespace Platform
