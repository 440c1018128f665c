#pragma once
// Diagnostic sub-programs started by name through the registry of named entries: the process
// heap test ("WinHeapTest"), the exception inspection test ("WinExceptionsTest") and the SMBIOS
// print ("SmBiosInfo"). They write to standard output; the heap test waits for Enter between
// its stages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>
#include <fmt/format.h>
#include "Platform/TypeName.h"
#include "Utils/StringUtils.h"

namespace Platform
{

// Writes the text and a line end to standard output, then reads one line of standard input and
// drops it (returns at once when the input has ended).
void WaitForEnter(const std::string& text);

// Allocates count blocks of size bytes through TAlloc (static Alloc(size) and Free(p)), then
// frees every other block starting with the first, then the rest; waits for Enter after each of
// the three stages. Returns 0.
template <class TAlloc>
int HeapTest(size_t size, size_t count)
{
    std::vector<void*> blocks;
    blocks.reserve(count);
    for (size_t i = 0; i < count; ++i)
        blocks.push_back(TAlloc::Alloc(size));

    const std::string sizeText =
        Utils::FormatByteSize(static_cast<int64_t>(size), 1024, 1, "%1%2").toStdString();
    WaitForEnter(
        fmt::format("allocated {} x {} via {}...", sizeText, count, PrettyTypeName(typeid(TAlloc).name())));

    for (size_t i = 0; i < blocks.size(); i += 2)
    {
        TAlloc::Free(blocks[i]);
        blocks[i] = nullptr;
    }
    WaitForEnter("Half free...");

    for (void*& p : blocks)
    {
        if (p != nullptr)
        {
            TAlloc::Free(p);
            p = nullptr;
        }
    }
    WaitForEnter("Full free...");
    return 0;
}

// Prints how pointer conversions move between sub-objects and what the inspection of a thrown
// object finds: four lines. Returns 0.
int CastTest();

// Prints "SMBIOS info: " and the machine's identity, or the description of the exception that
// reading it raised. Returns 0.
int SmBiosInfoPrint();

} // namespace Platform
