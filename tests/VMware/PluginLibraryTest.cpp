// The shipped library, loaded by the substitute host in a child process: each run has a fresh
// process, as each start of the Horizon Client has, and its own folder with a copy of the library
// and its "config.ini".
#include <gtest/gtest.h>

#include <elf.h>
#include <fstream>
#include <set>
#include <sstream>
#include <boost/filesystem.hpp>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include "VMware/ProcessTestUtils.h"

namespace fs = boost::filesystem;

namespace
{

const int c_runMs = 60000;

class PluginDir
{
public:
    explicit PluginDir(const std::string& config, const std::string& libName = "libYrTnVMwarePlugin.so")
    {
        m_dir = fs::temp_directory_path() / fs::unique_path("vmware-plugin-%%%%-%%%%");
        fs::create_directories(m_dir);
        m_lib = m_dir / libName;
        fs::copy_file(YR_PLUGIN_PATH, m_lib);
        std::ofstream((m_dir / "config.ini").string()) << "LogFolder = logs\n" << config;
    }

    ~PluginDir()
    {
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    const fs::path& Dir() const { return m_dir; }
    const fs::path& Lib() const { return m_lib; }

    // Every log file the plug-in wrote, one text.
    std::string LogText() const
    {
        std::string all;
        boost::system::error_code ec;
        if (!fs::is_directory(m_dir / "logs", ec))
            return all;
        for (fs::directory_iterator it(m_dir / "logs"), end; it != end; ++it)
        {
            std::ifstream in(it->path().string());
            all += std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        }
        return all;
    }

private:
    fs::path m_dir;
    fs::path m_lib;
};

struct HostRun
{
    int exitCode = -1;
    std::vector<std::string> answers;
    std::string errors;

    bool Has(const std::string& line) const
    {
        return std::find(answers.begin(), answers.end(), line) != answers.end();
    }
};

// A host's environment: the running mode's folders (reports among them) go below home.
QProcessEnvironment HostEnvironment(const fs::path& home, const QString& asanOptions)
{
    fs::create_directories(home / "data");
    fs::create_directories(home / "tmp");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", QString::fromStdString((home / "data").string()));
    env.insert("TMPDIR", QString::fromStdString((home / "tmp").string()));
    env.insert("ASAN_OPTIONS", asanOptions);
    return env;
}

// hostArgs picks the host's profile ("--host freerdp"); none: the classic one.
HostRun RunHost(const std::vector<std::string>& commands, const fs::path& home,
                const QStringList& hostArgs = QStringList())
{
    QProcess p;
    // The library's singletons are reported as leaks once it is unloaded, which is the point of
    // some runs.
    p.setProcessEnvironment(HostEnvironment(home, "detect_leaks=0"));
    p.start(YR_VC_HOST_PATH, hostArgs);
    HostRun r;
    if (!p.waitForStarted(c_runMs))
        return r;
    std::string script;
    for (const std::string& c : commands)
        script += c + "\n";
    script += "quit\n";
    p.write(script.data(), static_cast<qint64>(script.size()));
    p.closeWriteChannel();
    if (!p.waitForFinished(c_runMs))
    {
        p.kill();
        p.waitForFinished(c_runMs);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    std::istringstream out(p.readAllStandardOutput().toStdString());
    for (std::string line; std::getline(out, line);)
        r.answers.push_back(line);
    r.errors = p.readAllStandardError().toStdString();
    return r;
}

// The texts appear in this order (each after the one before).
void ExpectInOrder(const std::string& text, const std::vector<std::string>& parts)
{
    size_t pos = 0;
    for (const std::string& part : parts)
    {
        const size_t found = text.find(part, pos);
        ASSERT_NE(std::string::npos, found) << "missing or out of order: " << part << "\n" << text;
        pos = found + part.size();
    }
}

std::string ThreadsLine(const HostRun& r, size_t index)
{
    size_t seen = 0;
    for (const std::string& a : r.answers)
        if (a.rfind("threads ", 0) == 0 && seen++ == index)
            return a;
    return std::string();
}

// The names the library's dynamic symbol table defines (or, with undefined, the names it
// imports), and whether it binds its own symbols.
bool ReadExports(const std::string& path, std::set<std::string>& names, bool& symbolic, bool undefined = false)
{
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    std::string data(static_cast<size_t>(f.tellg()), '\0');
    f.seekg(0);
    f.read(&data[0], static_cast<std::streamsize>(data.size()));
    if (data.size() < sizeof(Elf64_Ehdr))
        return false;
    const Elf64_Ehdr* eh = reinterpret_cast<const Elf64_Ehdr*>(data.data());
    if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64)
        return false;
    const Elf64_Shdr* sh = reinterpret_cast<const Elf64_Shdr*>(data.data() + eh->e_shoff);
    symbolic = false;
    for (int i = 0; i < eh->e_shnum; ++i)
    {
        if (sh[i].sh_type == SHT_DYNSYM)
        {
            const char* strtab = data.data() + sh[sh[i].sh_link].sh_offset;
            const Elf64_Sym* sym = reinterpret_cast<const Elf64_Sym*>(data.data() + sh[i].sh_offset);
            for (size_t k = 0; k < sh[i].sh_size / sizeof(Elf64_Sym); ++k)
            {
                const int bind = ELF64_ST_BIND(sym[k].st_info);
                if ((sym[k].st_shndx == SHN_UNDEF) == undefined && sym[k].st_name != 0 &&
                    (bind == STB_GLOBAL || bind == STB_WEAK || bind == STB_GNU_UNIQUE))
                    names.insert(strtab + sym[k].st_name);
            }
        }
        if (sh[i].sh_type == SHT_DYNAMIC)
        {
            const Elf64_Dyn* dyn = reinterpret_cast<const Elf64_Dyn*>(data.data() + sh[i].sh_offset);
            for (size_t k = 0; k < sh[i].sh_size / sizeof(Elf64_Dyn); ++k)
                if (dyn[k].d_tag == DT_SYMBOLIC ||
                    (dyn[k].d_tag == DT_FLAGS && (dyn[k].d_un.d_val & DF_SYMBOLIC)))
                    symbolic = true;
        }
    }
    return true;
}

TEST(PluginLibraryTest, ExportsOnlyTheTwoChannelEntriesAndTheForwarders)
{
    std::set<std::string> names;
    bool symbolic = false;
    ASSERT_TRUE(ReadExports(YR_PLUGIN_PATH, names, symbolic));
    const std::set<std::string> expected = {
        "VirtualChannelEntry",           "VirtualChannelEntryEx",       "RoInitialize",
        "RoRegisterActivationFactories", "RoRevokeActivationFactories", "RoUninitialize"};
    EXPECT_EQ(expected, names);
    EXPECT_TRUE(symbolic);
}

// A thread_local with a destructor would register a thread-exit hook on the host's threads, which
// runs our code after the host has unloaded us (and pins the library meanwhile).
TEST(PluginLibraryTest, LeavesNoThreadExitHookOnTheHostsThreads)
{
    std::set<std::string> imports;
    bool symbolic = false;
    ASSERT_TRUE(ReadExports(YR_PLUGIN_PATH, imports, symbolic, true));
    ASSERT_EQ(1u, imports.count("pthread_create")); // the reading works
    EXPECT_EQ(0u, imports.count("__cxa_thread_atexit"));
    EXPECT_EQ(0u, imports.count("__cxa_thread_atexit_impl"));
}

TEST(PluginLibraryTest, LoadsRunsTerminatesAndUnloads)
{
    PluginDir dir("VMwareClientEntryPoint = Undefined\nVdiCrashHookEnabled = false\n");
    const HostRun r =
        RunHost({"load " + dir.Lib().string(), "threads", "qt-handler", "entry", "registration", "qt-handler",
                 "initialized", "connect srv1", "open", "deliver 0102030405", "wait-delivered", "event 2",
                 "disconnect", "terminate", "qt-handler", "wait-threads 3 10000", "unload", "problems"},
                dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    const std::vector<std::string> expected = {
        "load ok",
        "threads 3 vc_host,vchost-recv,vchost-write",
        "qt-handler host",
        "entry 1",
        "registration name=YrTnVCh options=0 count=1 version=1",
        "qt-handler other", // the application's hook is in
        "ok",
        "ok",
        "open 1",
        "ok",
        "delivered ok",
        "ok",
        "ok",
        "ok",
        "qt-handler host",                               // TERMINATED destroyed the start-up object
        "threads ok 3 vc_host,vchost-recv,vchost-write", // none of ours left
        "unload gone",
        "problems 0"};
    EXPECT_EQ(expected, r.answers) << r.errors;

    const std::string log = dir.LogText();
    ExpectInOrder(
        log,
        {"root: InitializeDriver entered", "DriverCore: CreateDriver VirtualChannelInit 'YrTnVCh' OK",
         "root: CreateDriver, StartUp done for YR VMware plugin", "root: Clean path '", "' result: 0",
         "root: InstallCrashHook: crash hook is disabled by config",
         "root: CreateDriver, Config instantiated.", "root: CreateDriver, Log instantiated.",
         "root: CreateDriver, Driver accessible.", "root: Entry: Undefined",
         "Entry Undefined names no program, nothing started", "ConnectionEventProc Remote side initialized",
         "ConnectionEventProc VirtualChannelOpen 'YrTnVCh' OK, server: srv1",
         "Data received but there wasn't initializing, ignore the data", "ConnectionEventProc eventType: 2",
         "ConnectionEventProc Disconnected", "ConnectionEventProc The client has been terminated"});
}

TEST(PluginLibraryTest, TheProductEntryStopsItsThreadsAtTerminate)
{
    // No key: the media-bridge relay. Its threads come and go with the client objects.
    PluginDir dir("VdiCrashHookEnabled = false\n");
    const HostRun r = RunHost({"load " + dir.Lib().string(), "threads", "entry", "threads", "initialized",
                               "connect", "terminate", "wait-threads 3 10000", "unload", "problems"},
                              dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    ASSERT_TRUE(r.Has("entry 1")) << r.errors;
    EXPECT_EQ("threads 3 vc_host,vchost-recv,vchost-write", ThreadsLine(r, 0));
    EXPECT_NE(ThreadsLine(r, 0), ThreadsLine(r, 1)) << "the relay runs threads of its own";
    EXPECT_EQ("threads ok 3 vc_host,vchost-recv,vchost-write", ThreadsLine(r, 2)) << r.errors;
    EXPECT_TRUE(r.Has("unload gone"));
    EXPECT_TRUE(r.Has("problems 0"));
    ExpectInOrder(dir.LogText(),
                  {"root: Entry: StartVdiMediaBridge", "ConnectionEventProc The client has been terminated"});
}

TEST(PluginLibraryTest, TheRelaysSessionReachesTheFarEndPeerThroughTheHost)
{
    PluginDir dir("VdiCrashHookEnabled = false\n");
    const HostRun r =
        RunHost({"load " + dir.Lib().string(), "peer " YR_STL_PEER_PATH, "wait-peer 10000 stl_peer ready",
                 "entry", "initialized", "connect", "wait-peer 10000 connected", "disconnect", "terminate",
                 "wait-threads 5 10000", "stop-peer", "unload", "problems"},
                dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    EXPECT_EQ((std::vector<std::string>{
                  "load ok", "peer ok", "wait-peer ok", "entry 1", "ok", "ok", "wait-peer ok", "ok", "ok",
                  "threads ok 5 vc_host,vchost-recv,vchost-write,vchost-peerout,vchost-peererr",
                  "stop-peer 0", "unload gone", "problems 0"}),
              r.answers)
        << r.errors;
}

TEST(PluginLibraryTest, UnloadWithoutTerminateStillDestroysTheClientObjects)
{
    PluginDir dir("VMwareClientEntryPoint = Undefined\nVdiCrashHookEnabled = false\n");
    const HostRun r = RunHost({"load " + dir.Lib().string(), "entry", "initialized", "connect", "qt-handler",
                               "unload", "qt-handler"},
                              dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    EXPECT_EQ((std::vector<std::string>{"load ok", "entry 1", "ok", "ok", "qt-handler other", "unload gone",
                                        "qt-handler host"}),
              r.answers)
        << r.errors;
}

TEST(PluginLibraryTest, BadTablesAreRefusedAndASecondEntryToo)
{
    PluginDir dir("VMwareClientEntryPoint = Undefined\nVdiCrashHookEnabled = false\n");
    const HostRun r = RunHost({"load " + dir.Lib().string(), "entry null", "entry no-write", "entry no-init",
                               "entry size0", "entry", "unload"},
                              dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    // A table without functions registers nothing, so a good one later still can; a second good
    // one is refused (the application start-up exists once).
    EXPECT_EQ((std::vector<std::string>{"load ok", "entry 0", "entry 0", "entry 0", "entry 1", "entry 0",
                                        "unload gone"}),
              r.answers)
        << r.errors;
    ExpectInOrder(dir.LogText(),
                  {"InitializeDriver entered", "AppInitializing failed with pEntryPoints == 0",
                   "InitDriverInstance pEntryPoints is invalid", "InitializeDriver, failed",
                   "InitDriverInstance pEntryPoints is invalid", "InitializeDriver, failed",
                   "CreateDriver VirtualChannelInit 'YrTnVCh' OK", "CreateDriver, Driver accessible.",
                   "InitializeDriver: the plug-in is started already, a second entry is refused"});
}

TEST(PluginLibraryTest, UnderFreeRdpTheExtendedEntryStartsItOnceAndTheLibraryLoadsAgain)
{
    PluginDir dir("VMwareClientEntryPoint = Undefined\nVdiCrashHookEnabled = false\n");
    const std::vector<std::string> run = {"load " + dir.Lib().string(),
                                          "entry",
                                          "entry-classic",
                                          "entry-ex",
                                          "initialized",
                                          "connect",
                                          "open",
                                          "terminate",
                                          "unload"};
    std::vector<std::string> commands = run;
    commands.insert(commands.end(), run.begin(), run.end());
    commands.push_back("problems");
    const HostRun r = RunHost(commands, dir.Dir(), {"--host", "freerdp"});
    ASSERT_EQ(0, r.exitCode) << r.errors;
    // Either entry after the first is refused; unloaded and loaded again, the library starts anew.
    const std::vector<std::string> once = {"load ok", "entry 1", "entry 0", "entry 0",    "ok",
                                           "ok",      "open 1",  "ok",      "unload gone"};
    std::vector<std::string> expected = once;
    expected.insert(expected.end(), once.begin(), once.end());
    expected.push_back("problems 0");
    EXPECT_EQ(expected, r.answers) << r.errors;
    // Two refusals per load; the second load's log keeps the first one's records.
    EXPECT_EQ(4u, ProcTest::CountOf(dir.LogText(), "InitializeDriver: the plug-in is started already"));
}

TEST(PluginLibraryTest, UnderFreeRdpTheEchoEntryEchoesFromItsOwnThread)
{
    PluginDir dir("VMwareClientEntryPoint = VMwareEchoTest\nVdiCrashHookEnabled = false\n");
    const HostRun r =
        RunHost({"load " + dir.Lib().string(), "entry", "initialized", "connect", "deliver 0000000001000000",
                 "wait-results 1 10000", "stats", "terminate", "unload", "problems"},
                dir.Dir(), {"--host", "freerdp"});
    ASSERT_EQ(0, r.exitCode) << r.errors;
    EXPECT_TRUE(r.Has("results ok")) << r.errors;
    EXPECT_TRUE(r.Has("stats accepted=1 refused=0 completed=1 cancelled=0 outstanding=0 max=1 merged=0"))
        << r.errors;
    EXPECT_TRUE(r.Has("problems 0"));
}

TEST(PluginLibraryTest, AFailedRegistrationStartsNothing)
{
    PluginDir dir("VdiCrashHookEnabled = false\n");
    const HostRun r =
        RunHost({"load " + dir.Lib().string(), "init-result 5", "entry", "qt-handler", "threads", "unload"},
                dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    ASSERT_EQ(6u, r.answers.size()) << r.errors;
    EXPECT_EQ("entry 0", r.answers[2]);
    EXPECT_EQ("qt-handler host", r.answers[3]); // no application start-up
    EXPECT_EQ("unload gone", r.answers[5]);
    EXPECT_TRUE(dir.LogText().empty()); // no log set-up either
}

TEST(PluginLibraryTest, FilesAreFoundNextToTheRealLibraryWhenLoadedThroughALink)
{
    PluginDir real("VMwareClientEntryPoint = Undefined\nVdiCrashHookEnabled = false\n");
    PluginDir other("LogFolder = elsewhere\n", "unused.so");
    const fs::path link = other.Dir() / "link-to-plugin.so";
    fs::create_symlink(real.Lib(), link);
    const HostRun r = RunHost({"load " + link.string(), "entry", "terminate", "unload"}, other.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    EXPECT_TRUE(r.Has("entry 1")) << r.errors;
    const std::string log = real.LogText();
    ExpectInOrder(
        log, {"Config file '" + (real.Dir() / "config.ini").string() + "' read", "root: Entry: Undefined"});
    EXPECT_FALSE(fs::exists(other.Dir() / "elsewhere"));
}

TEST(PluginLibraryTest, TheEntryIsChosenByItsExactName)
{
    struct Case
    {
        std::string value;
        std::string entryLine;
    };
    const std::vector<Case> cases = {{"VMwareEchoTest", "root: Entry: VMwareEchoTest"},
                                     {"vmwareechotest", "root: Entry: StartVdiMediaBridge"},
                                     {"Undefined", "root: Entry: Undefined"}};
    for (const Case& c : cases)
    {
        PluginDir dir("VMwareClientEntryPoint = " + c.value + "\nVdiCrashHookEnabled = false\n");
        const HostRun r =
            RunHost({"load " + dir.Lib().string(), "entry", "terminate", "wait-threads 3 10000", "unload"},
                    dir.Dir());
        ASSERT_EQ(0, r.exitCode) << r.errors;
        EXPECT_TRUE(r.Has("entry 1")) << c.value << r.errors;
        // Whichever program was chosen, its threads end with the terminate, not with the unload.
        EXPECT_TRUE(r.Has("threads ok 3 vc_host,vchost-recv,vchost-write")) << c.value << r.errors;
        EXPECT_TRUE(r.Has("unload gone")) << c.value;
        ExpectInOrder(dir.LogText(), {c.entryLine, "ConnectionEventProc The client has been terminated"});
    }
}

TEST(PluginLibraryTest, AMalformedConfigurationFailsTheEntryWithoutAnException)
{
    PluginDir dir("[Section]\nVMwareClientEntryPoint = Undefined\n");
    const HostRun r = RunHost({"load " + dir.Lib().string(), "entry", "entry", "unload"}, dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    EXPECT_EQ((std::vector<std::string>{"load ok", "entry 0", "entry 0", "unload gone"}), r.answers)
        << r.errors;
    // The reason, where a user looks, with the file to fix; the second entry is refused before.
    EXPECT_NE(std::string::npos,
              r.errors.find("YrTnVMwarePlugin: start-up refused, config '" + (dir.Dir() / "config.ini").string() +
                            "': Sections not allowed at 1; data: [Section]\n"))
        << r.errors;
}

TEST(PluginLibraryTest, AConsoleSwitchThatIsNoBooleanCostsNothing)
{
    PluginDir dir(
        "VMwareClientEntryPoint = Undefined\nVdiCrashHookEnabled = false\nVMwareModuleShowConsole = yes\n");
    const HostRun r = RunHost({"load " + dir.Lib().string(), "entry", "unload"}, dir.Dir());
    ASSERT_EQ(0, r.exitCode) << r.errors;
    EXPECT_TRUE(r.Has("entry 1")) << r.errors;
    ExpectInOrder(dir.LogText(), {"VMwareModuleShowConsole value 'yes' is not a boolean, no console",
                                  "CreateDriver, Driver accessible."});
}

// A real host loads the library at run time and has threads that never ran its code. A fault on
// such a thread is reported, also while that thread's heap is held (every allocation it makes after
// the fault blocks): the fault handler reaches the report without allocating there.
TEST(PluginLibraryTest, AFaultOnAHostThreadThatNeverRanTheLibraryIsReported)
{
    for (const QStringList& hold : {QStringList(), QStringList("--hold-heap")})
    {
        SCOPED_TRACE(hold.join("").toStdString());
        PluginDir dir("VMwareClientEntryPoint = Undefined\n");
        QProcess p;
        p.setProcessEnvironment(HostEnvironment(dir.Dir(), YR_SIGNALS_ASAN_OPTIONS));
        p.start(YR_FAULT_HOST_PATH, QStringList(QString::fromStdString(dir.Lib().string())) + hold);
        ASSERT_TRUE(p.waitForStarted(c_runMs));
        const bool ended = p.waitForFinished(10000);
        if (!ended)
        {
            p.kill();
            p.waitForFinished(c_runMs);
        }
        const std::string errors = p.readAllStandardError().toStdString();
        ASSERT_TRUE(ended) << "no end within 10 s\n" << errors;
        EXPECT_EQ(QProcess::NormalExit, p.exitStatus());
        EXPECT_EQ(3, p.exitCode()) << errors;

        std::vector<std::string> reports;
        for (fs::recursive_directory_iterator it(dir.Dir()), end; it != end; ++it)
            if (it->path().extension() == ".crash")
                reports.push_back(ProcTest::ReadFile(it->path()));
        ASSERT_EQ(1u, reports.size()) << errors;
        EXPECT_NE(std::string::npos, reports[0].find("Unhandled system exception"));
        EXPECT_NE(std::string::npos, reports[0].find("EXCEPTION_ACCESS_VIOLATION"));
    }
}

} // namespace
