#pragma once
#include <memory>
#include <string>
#include <boost/function.hpp>
#include "Utils/IBasicInterface.h"

// The programs that the plug-in's entry selection can start ("StartVdiMediaBridge" the
// media-bridge relay, "VMwareEchoTest" the echo server), each under its entry's name. A program
// registers itself at load time, from its own unit, with an EntryStarterRegistrar:
//
//     VdiCommon::EntryStarterRegistrar g_bridgeEntry("StartVdiMediaBridge", &StartVdiMediaBridge);
//
// so that the entry selection does not depend on the programs and a build without one of them
// still loads (the selection then reports the program missing and starts nothing).
namespace VdiCommon
{

// Starts the program; the returned object keeps it alive and stops it when destroyed.
typedef boost::function<std::unique_ptr<Utils::IVirtualDestroy>()> EntryStarter;

// Installs the program of an entry and returns the one it replaces (empty when none); an empty
// starter removes the entry.
EntryStarter SetEntryStarter(const std::string& entryName, const EntryStarter& starter);

// The program of an entry; empty when none is registered.
EntryStarter GetEntryStarter(const std::string& entryName);

// Registers a program at load time (a global of the program's unit).
class EntryStarterRegistrar
{
public:
    EntryStarterRegistrar(const std::string& entryName, const EntryStarter& starter)
    {
        SetEntryStarter(entryName, starter);
    }
};

} // namespace VdiCommon
