#pragma once
#include <ucontext.h>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct Dwfl_Module;

namespace Platform
{

// The calling thread's stack as 8-bit text, one frame a line, the tracing machinery left out.
// Traces taken through it never overlap. On the halt path (HaltPathLock.h) its locks are only
// tried, and empty text comes back when they do not come.
void CaptureStackTrace(std::string& out);
std::string CaptureStackTrace();

// The calling thread's stack. With symbols each line is the frame's name alone, without them
// "0x<16 hex digits>\t" + name. skip drops the lines up to
// and including this function (only with symbols).
std::string GetStackTrace(bool skip);

// The symbol record of one address.
struct StackEntry
{
    uint64_t address = 0;
    std::string name;        // the symbol as the object file names it (mangled)
    std::string undName;     // demangled
    std::string undFullName; // demangled
    uint64_t offsetFromSymbol = 0;
    uint32_t offsetFromLine = 0;
    uint32_t lineNumber = 0;
    std::string lineFileName;
    std::string symTypeString;
    std::string moduleName;
    uint64_t baseOfImage = 0;
    std::string loadedImageName;
};

// Program counters of the calling thread's stack, innermost first. With a context the list starts
// at the context's instruction: a context of this thread whose frame is still live (a fault
// signal's, getcontext's), or the context of another thread of this process that stays stopped
// while it is walked (a fault handed to the fault reporter). Addresses of calls are the call instruction's (return address - 1);
// a faulting frame's is the exact faulting instruction.
std::vector<uint64_t> GetStackFrames(const ucontext_t* context);

// Symbol record of the address; all fields empty for address 0 or when nothing resolves.
StackEntry GetFrameEntry(uint64_t address);

// The same for the fault path: gives up on symbols when the symbol engine is busy (for instance
// when the fault happened inside it) instead of waiting.
StackEntry GetFrameEntryNoWait(uint64_t address);

// On the fault reporter's thread when it starts: makes the walker that GetFrameEntryNoWait and
// the halt path's traces use there and starts its symbol engine, whose start-up line names the
// user (the name service takes locks of its own and may ask a daemon that does not answer: no
// fault must wait for it), and opens the stream through which libdw reads the memory map there.
void StartFaultPathSymbolEngine();

// Once the fault reporter has ended (on any thread): ends that walker and closes that stream.
void StopFaultPathSymbolEngine();

// Walks stacks and resolves addresses through libdw (elfutils); one per process.
class StackWalker
{
public:
    StackWalker();
    virtual ~StackWalker();
    StackWalker(const StackWalker&) = delete;
    StackWalker& operator=(const StackWalker&) = delete;

    // (program counter, next frame's program counter) pairs, innermost first.
    std::vector<std::pair<uint64_t, uint64_t>> GetCallstack(const ucontext_t* context);

    // 1 when resolved, 0 for address 0 or when symbols are not available. faultPath: the symbol
    // lock is only tried (HaltPathLock.h), for up to 2 s, and 0 comes back without it.
    int GetEntry(uint64_t address, StackEntry& entry, bool faultPath);

    // True when the module holding this code carries its own symbols (.symtab or DWARF).
    // faultPath: as for GetEntry.
    bool HasOwnSymbols(bool faultPath = false);

    // Starts the symbol engine now rather than at the first address to resolve.
    void StartSymbolEngine();

    static const unsigned c_repeatLimit = 1000;
    static const unsigned c_maxFrames = 10000;

protected:
    virtual void ReportSymbolInit(const char* searchPath, uint32_t symOptions, const char* userName);
    virtual void ReportModuleLoad(const char* img, const char* mod, uint64_t baseAddr, uint32_t size,
                                  uint32_t result, const char* symType, const char* pdbName,
                                  uint64_t fileVersion);
    virtual void ReportError(const char* funcName, uint32_t gle, uint64_t addr);
    virtual void WriteOutput(const char* text);

public:
    class Impl; // the libdw state and its lock

private:
    // The steps of GetEntry, under the symbol lock.
    bool StartSymbolEngineLocked(); // the libdw session, made once; false when it cannot be
    Dwfl_Module* FindModuleLocked(uint64_t address); // reports the modules (again) when unknown
    void ReportLoadedModulesLocked();                // one ReportModuleLoad line per module
    StackEntry DescribeAddressLocked(Dwfl_Module* mod, uint64_t address);
    friend void ReleaseStackTraceFiles();

    std::unique_ptr<Impl> m_impl;
};

StackWalker& GetStackWalker();

// Ends the walker's libdw session and closes the files it holds open; the next trace opens them
// again. For a library about to be unloaded, or after a trace taken on a path that must leave no
// descriptor behind.
void ReleaseStackTraceFiles();

namespace detail
{
// Test seam: -1 decides from the module (default), 0 forces "no symbol file", 1 forces "present".
void ForceSymbolFileFlag(int value);
} // namespace detail

} // namespace Platform
