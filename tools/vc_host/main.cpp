// vc_host: the substitute host as a program. It reads commands from standard input, one per line,
// runs them in order on its main thread (the thread that calls VirtualChannelEntry and raises the
// init events) and answers each on standard output with one line (a few answer with more).
//
//   vc_host [--host classic|freerdp]
// --host freerdp behaves as FreeRDP 2.11 (see VcHost.h): "entry" calls VirtualChannelEntryEx
// when the plug-in has it, and the entry and every event run on the host's client thread.
//
//   load <path>                      dlopen the plug-in             -> "load ok" | "load error <text>"
//   entry [null|no-init|no-open|no-close|no-write|size0]
//                                    the profile's entry with the full table, a null table, a table
//                                    missing one function, or one whose size field is 0 -> "entry <0|1>"
//   entry-classic, entry-ex          the classic or the extended entry with the full table
//   init-result <rc> | open-result <rc>   what VirtualChannelInit / VirtualChannelOpen return -> "ok"
//   mode complete|hold|cancel|refuse, delay <ms>, chunk <n>   how writes and data go -> "ok"
//   initialized | connect [server] | disconnect | terminate | event <n>   init events -> "ok"
//   deliver <hex>                    one write of the peer, in chunks -> "ok"
//   wait-delivered                   -> "delivered ok|timeout"
//   release <n> complete|cancel      -> "ok"
//   wait-outstanding <n> <ms>        -> "outstanding ok|timeout"
//   wait-results <n> <ms>            at least n writes completed or cancelled -> "results ok|timeout"
//   peer <path> [args...]            start the far-end peer -> "peer ok" | "peer error <text>"
//   wait-peer <ms> <line>            -> "wait-peer ok|timeout"
//   stop-peer                        -> "stop-peer <exit code>"
//   stats                            -> "stats accepted=A refused=R completed=C cancelled=X
//                                       outstanding=O max=M merged=G" (G: messages merged from
//                                       several peer writes)
//   registration                     -> "registration name=<n> options=<o> count=<c> version=<v>"
//   open                             -> "open <0|1>"
//   threads                          -> "threads <count> <name,name,...>" (this process's threads)
//   wait-threads <count> <ms>        -> "threads ok|timeout <count> <names>" once the count is reached
//   qt-handler                       -> "qt-handler host|other" (whose Qt message handler is installed)
//   unload                           -> "unload gone|kept"
//   problems                         -> "problems <n>" then "problem <text>" per break of contract
//   sleep <ms>                       -> "ok" (for runs by hand)
//   quit                             ends the program (as does the end of input)
// Unknown commands answer "error <command>". The exit code is 0. Whatever the plug-in itself
// prints on standard output is moved to standard error, so that the answers stay readable.
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <ext/stdio_filebuf.h>
#include <unistd.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <QString>
#include <QtGlobal>
#include "VcHost.h"

namespace
{

void HostQtHandler(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    std::cerr << "vc_host qt: " << msg.toStdString() << std::endl;
}

bool ParseHex(const std::string& text, VcHost::Bytes& out)
{
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2)
    {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (end == nullptr || *end != 0)
            return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

std::string ThreadList(size_t& count)
{
    std::string names;
    count = 0;
    DIR* d = ::opendir("/proc/self/task");
    if (d == nullptr)
        return names;
    while (dirent* e = ::readdir(d))
    {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names += (count++ ? "," : "") + name;
    }
    ::closedir(d);
    return names;
}

} // namespace

namespace
{

// Takes one entry out of a table (or zeroes its size) as the variant names; the others leave it whole.
template <class TTable, class TInit, class TOpen, class TClose, class TWrite>
void BreakTable(TTable& t, const std::string& variant, TInit TTable::*init, TOpen TTable::*open,
                TClose TTable::*close, TWrite TTable::*write)
{
    if (variant == "no-init")
        t.*init = nullptr;
    else if (variant == "no-open")
        t.*open = nullptr;
    else if (variant == "no-close")
        t.*close = nullptr;
    else if (variant == "no-write")
        t.*write = nullptr;
    else if (variant == "size0")
        t.cbSize = 0;
}

int32_t CallEntryVariant(VcHost::Host& host, const std::string& variant)
{
    if (host.PrefersEntryEx())
    {
        CHANNEL_ENTRY_POINTS_EX t = host.EntryPointsEx();
        BreakTable(t, variant, &CHANNEL_ENTRY_POINTS_EX::pVirtualChannelInitEx,
                   &CHANNEL_ENTRY_POINTS_EX::pVirtualChannelOpenEx,
                   &CHANNEL_ENTRY_POINTS_EX::pVirtualChannelCloseEx,
                   &CHANNEL_ENTRY_POINTS_EX::pVirtualChannelWriteEx);
        return host.CallEntryEx(variant == "null" ? nullptr : &t, host.InitHandle());
    }
    CHANNEL_ENTRY_POINTS t = host.EntryPoints();
    BreakTable(t, variant, &CHANNEL_ENTRY_POINTS::pVirtualChannelInit,
               &CHANNEL_ENTRY_POINTS::pVirtualChannelOpen, &CHANNEL_ENTRY_POINTS::pVirtualChannelClose,
               &CHANNEL_ENTRY_POINTS::pVirtualChannelWrite);
    return host.CallEntry(variant == "null" ? nullptr : &t);
}

// Each group below answers the commands it knows and returns false for any other.

bool RunSetupCommand(VcHost::Host& host, const std::string& cmd, std::istringstream& in)
{
    std::string arg;
    if (cmd == "load")
    {
        std::getline(in >> std::ws, arg);
        std::string error;
        std::cout << (host.Load(arg, &error) ? "load ok" : "load error " + error) << std::endl;
    }
    else if (cmd == "entry")
    {
        in >> arg;
        std::cout << "entry " << CallEntryVariant(host, arg) << std::endl;
    }
    else if (cmd == "entry-classic")
        std::cout << "entry " << host.CallEntry() << std::endl;
    else if (cmd == "entry-ex")
        std::cout << "entry " << host.CallEntryEx() << std::endl;
    else if (cmd == "init-result" || cmd == "open-result" || cmd == "delay" || cmd == "chunk")
    {
        long v = 0;
        in >> v;
        if (cmd == "init-result")
            host.SetInitResult(static_cast<uint32_t>(v));
        else if (cmd == "open-result")
            host.SetOpenResult(static_cast<uint32_t>(v));
        else if (cmd == "delay")
            host.SetWriteDelayMs(static_cast<int>(v));
        else
            host.SetChunkSize(static_cast<uint32_t>(v));
        std::cout << "ok" << std::endl;
    }
    else if (cmd == "mode")
    {
        in >> arg;
        host.SetWriteMode(arg == "hold"     ? VcHost::Host::WriteMode::Hold
                          : arg == "cancel" ? VcHost::Host::WriteMode::Cancel
                          : arg == "refuse" ? VcHost::Host::WriteMode::Refuse
                                            : VcHost::Host::WriteMode::Complete);
        std::cout << "ok" << std::endl;
    }
    else
        return false;
    return true;
}

bool RunEventCommand(VcHost::Host& host, const std::string& cmd, std::istringstream& in)
{
    if (cmd == "initialized")
        host.RaiseInitEvent(CHANNEL_EVENT_INITIALIZED);
    else if (cmd == "connect")
    {
        std::string server;
        in >> server;
        host.Connect(server.empty() ? "vc_host" : server);
    }
    else if (cmd == "disconnect")
        host.Disconnect();
    else if (cmd == "terminate")
        host.Terminate();
    else if (cmd == "event")
    {
        uint32_t e = 0;
        in >> e;
        host.RaiseInitEvent(e);
    }
    else if (cmd == "unload")
    {
        std::cout << "unload " << (host.Unload() ? "gone" : "kept") << std::endl;
        return true;
    }
    else
        return false;
    std::cout << "ok" << std::endl;
    return true;
}

bool RunDataCommand(VcHost::Host& host, const std::string& cmd, std::istringstream& in)
{
    std::string arg;
    if (cmd == "deliver")
    {
        in >> arg;
        VcHost::Bytes bytes;
        if (!ParseHex(arg, bytes) || bytes.empty())
            std::cout << "error deliver" << std::endl;
        else
        {
            host.Deliver(bytes);
            std::cout << "ok" << std::endl;
        }
    }
    else if (cmd == "wait-delivered")
        std::cout << (host.WaitDelivered(10000) ? "delivered ok" : "delivered timeout") << std::endl;
    else if (cmd == "release")
    {
        size_t n = 0;
        in >> n >> arg;
        host.ReleaseHeld(n, arg != "cancel");
        std::cout << "ok" << std::endl;
    }
    else if (cmd == "wait-outstanding")
    {
        size_t n = 0;
        int ms = 0;
        in >> n >> ms;
        std::cout << (host.WaitOutstanding(n, ms) ? "outstanding ok" : "outstanding timeout") << std::endl;
    }
    else if (cmd == "wait-results")
    {
        uint64_t n = 0;
        int ms = 0;
        in >> n >> ms;
        std::cout << (host.WaitResults(n, ms) ? "results ok" : "results timeout") << std::endl;
    }
    else
        return false;
    return true;
}

bool RunPeerCommand(VcHost::Host& host, const std::string& cmd, std::istringstream& in)
{
    std::string arg;
    if (cmd == "peer")
    {
        std::string path;
        in >> path;
        std::vector<std::string> args;
        while (in >> arg)
            args.push_back(arg);
        std::string error;
        std::cout << (host.StartPeer(path, args, &error) ? "peer ok" : "peer error " + error) << std::endl;
    }
    else if (cmd == "wait-peer")
    {
        int ms = 0;
        in >> ms;
        std::getline(in >> std::ws, arg);
        std::cout << (host.WaitPeerLine(arg, ms) ? "wait-peer ok" : "wait-peer timeout") << std::endl;
    }
    else if (cmd == "stop-peer")
        std::cout << "stop-peer " << host.StopPeer() << std::endl;
    else
        return false;
    return true;
}

void AnswerWaitThreads(std::istringstream& in)
{
    // A joined thread leaves the kernel's list a moment after its join returned.
    size_t want = 0, n = 0;
    int ms = 0;
    in >> want >> ms;
    std::string names = ThreadList(n);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (n != want && std::chrono::steady_clock::now() < end)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        names = ThreadList(n);
    }
    std::cout << "threads " << (n == want ? "ok " : "timeout ") << n << " " << names << std::endl;
}

bool RunQueryCommand(VcHost::Host& host, const std::string& cmd, std::istringstream& in)
{
    if (cmd == "stats")
        std::cout << "stats accepted=" << host.Accepted() << " refused=" << host.Refused()
                  << " completed=" << host.Completed() << " cancelled=" << host.Cancelled()
                  << " outstanding=" << host.Outstanding() << " max=" << host.MaxOutstanding()
                  << " merged=" << host.MergedMessages() << std::endl;
    else if (cmd == "registration")
    {
        const VcHost::Host::Registration r = host.GetRegistration();
        std::cout << "registration name=" << r.name << " options=" << r.options << " count=" << r.channelCount
                  << " version=" << r.versionRequested << std::endl;
    }
    else if (cmd == "open")
        std::cout << "open " << (host.IsOpen() ? 1 : 0) << std::endl;
    else if (cmd == "threads")
    {
        size_t n = 0;
        const std::string names = ThreadList(n);
        std::cout << "threads " << n << " " << names << std::endl;
    }
    else if (cmd == "wait-threads")
        AnswerWaitThreads(in);
    else if (cmd == "qt-handler")
    {
        const QtMessageHandler current = qInstallMessageHandler(&HostQtHandler);
        qInstallMessageHandler(current);
        std::cout << "qt-handler " << (current == &HostQtHandler ? "host" : "other") << std::endl;
    }
    else if (cmd == "problems")
    {
        const std::vector<std::string> p = host.Problems();
        std::cout << "problems " << p.size() << std::endl;
        for (const std::string& t : p)
            std::cout << "problem " << t << std::endl;
    }
    else if (cmd == "sleep")
    {
        int ms = 0;
        in >> ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        std::cout << "ok" << std::endl;
    }
    else
        return false;
    return true;
}

void RunCommand(VcHost::Host& host, const std::string& cmd, std::istringstream& in)
{
    if (!RunSetupCommand(host, cmd, in) && !RunEventCommand(host, cmd, in) &&
        !RunDataCommand(host, cmd, in) && !RunPeerCommand(host, cmd, in) && !RunQueryCommand(host, cmd, in))
        std::cout << "error " << cmd << std::endl;
}

// The --host option; false (after the usage line) for anything else.
bool ParseProfile(int argc, char** argv, VcHost::Host::Profile& profile)
{
    profile = VcHost::Host::Profile::Classic;
    for (int i = 1; i < argc; i += 2)
    {
        const std::string a = argv[i];
        if (a == "--host" && i + 1 < argc && std::string(argv[i + 1]) == "freerdp")
            profile = VcHost::Host::Profile::FreeRdp;
        else if (a == "--host" && i + 1 < argc && std::string(argv[i + 1]) == "classic")
            profile = VcHost::Host::Profile::Classic;
        else
        {
            std::cerr << "usage: vc_host [--host classic|freerdp]" << std::endl;
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    VcHost::Host::Profile profile;
    if (!ParseProfile(argc, argv, profile))
        return 2;

    // The answers get the original standard output to themselves; whatever the plug-in prints
    // goes to standard error.
    std::cout.flush();
    const int answers = ::dup(1);
    ::dup2(2, 1);
    __gnu_cxx::stdio_filebuf<char> answerBuf(answers, std::ios::out);
    std::streambuf* const consoleBuf = std::cout.rdbuf(&answerBuf);

    qInstallMessageHandler(&HostQtHandler);
    VcHost::Host host(profile);
    std::string line;
    while (std::getline(std::cin, line))
    {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd.empty())
            continue;
        if (cmd == "quit")
            break;
        RunCommand(host, cmd, in);
    }
    std::cout.flush();
    std::cout.rdbuf(consoleBuf);
    return 0;
}
