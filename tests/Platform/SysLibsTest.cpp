#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <dlfcn.h>

#include "Platform/SysInfo.h"
#include "Platform/SysLibs.h"
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "Utils/StringUtils.h"

namespace
{

const std::string c_standInDir = YR_COMBASE_STANDIN_DIR;
const std::string c_standInFile = c_standInDir + "/COMBASE.DLL";

// Fails the child with the text of the broken condition.
#define CHILD_CHECK(cond)                                                                                    \
    do                                                                                                       \
    {                                                                                                        \
        if (!(cond))                                                                                         \
        {                                                                                                    \
            std::fprintf(stderr, "failed: %s\n", #cond);                                                     \
            std::exit(1);                                                                                    \
        }                                                                                                    \
    } while (0)

// The start-up as far as the system-library registry needs it; only in child processes.
void StartUp()
{
    const std::string exe = Utils::UnicodeToLocaleString(Platform::GetExePath());
    const char* argv[] = {exe.c_str()};
    Utils::ExeName::Init(1, argv, "{", "}");
    Utils::DelayInitHost::Instance().DoInit();
}

// The stand-in's call counter, through the library that the registry loaded.
int StandInCalls(const char* function)
{
    void* h = dlopen("COMBASE.DLL", RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr)
    {
        return -1;
    }
    typedef int (*CountFn)(const char*);
    const CountFn fn = reinterpret_cast<CountFn>(dlsym(h, "StandInCallCount"));
    const int res = fn ? fn(function) : -1;
    dlclose(h);
    return res;
}

// LD_LIBRARY_PATH is read when a process starts: set it for the re-executed death-test child only.
class StandInOnLibraryPath
{
public:
    StandInOnLibraryPath()
    {
        const char* old = std::getenv("LD_LIBRARY_PATH");
        m_had = old != nullptr;
        m_old = old ? old : "";
        setenv("LD_LIBRARY_PATH", c_standInDir.c_str(), 1);
    }
    ~StandInOnLibraryPath()
    {
        if (m_had)
        {
            setenv("LD_LIBRARY_PATH", m_old.c_str(), 1);
        }
        else
        {
            unsetenv("LD_LIBRARY_PATH");
        }
    }

private:
    bool m_had;
    std::string m_old;
};

TEST(SysLibsTest, LoaderOfAMissingLibrary)
{
    const Win32::DllLoader l(L"no-such-lib.so", 0);
    EXPECT_FALSE(l.IsLoaded());
    EXPECT_EQ(L"", l.Name());
    EXPECT_EQ(nullptr, l.GetProcAddress("RoInitialize"));
}

TEST(SysLibsTest, LoaderLoadsAndFreesByName)
{
    const std::wstring path = Utils::LocaleStringToUnicode(c_standInFile);
    Win32::DllLoader l(path, 0);
    ASSERT_TRUE(l.IsLoaded());
    EXPECT_EQ(path, l.Name());
    EXPECT_NE(nullptr, l.GetProcAddress("RoInitialize"));
    EXPECT_EQ(nullptr, l.GetProcAddress("NoSuchFunction"));

    // A failed load still frees what was held.
    EXPECT_FALSE(l.Load(L"no-such-lib.so", 0));
    EXPECT_FALSE(l.IsLoaded());
    EXPECT_EQ(L"", l.Name());
    EXPECT_EQ(nullptr, dlopen(c_standInFile.c_str(), RTLD_NOW | RTLD_NOLOAD));
}

TEST(SysLibsTest, FunctionTableResolvesOnce)
{
    const Win32::WinSysDll lib({"RoInitialize", "Missing", "RoUninitialize", "RoInitialize"},
                               Utils::LocaleStringToUnicode(c_standInFile), 0);
    ASSERT_TRUE(lib.IsLoaded());
    EXPECT_NE(nullptr, lib.Function("RoInitialize"));
    EXPECT_NE(nullptr, lib.Function("RoUninitialize"));
    EXPECT_EQ(nullptr, lib.Function("Missing"));
    EXPECT_EQ(nullptr, lib.Function("RoRevokeActivationFactories")); // not asked for

    const Win32::WinSysDll none({"RoInitialize"}, L"no-such-lib.so", 0);
    EXPECT_FALSE(none.IsLoaded());
    EXPECT_EQ(nullptr, none.Function("RoInitialize"));
}

TEST(SysLibsTest, ComErrorTexts)
{
    EXPECT_EQ(int32_t(0x80004021u), _com_error(Win32::c_coENotSupported).Error());
    EXPECT_EQ(L"Catastrophic failure", _com_error(Win32::c_eUnexpected).ErrorMessage());
    EXPECT_EQ(L"Unknown error 0x8ABCDEF0", _com_error(int32_t(0x8ABCDEF0u)).ErrorMessage());
    const Win32::COMError e(int32_t(0x80010106u), ESS_LOCATION);
    const _com_error& base = e;
    EXPECT_EQ(L"Cannot change thread mode after it is set.", base.ErrorMessage());
    EXPECT_NE(0, e.Location().line);
}

TEST(SysLibsDeathTest, WithoutComBaseTheExportsAnswerNotSupported)
{
    EXPECT_EXIT(
        {
            StartUp();
            const Win32::ComBaseDll* p = Win32::ComBaseDllInstance();
            CHILD_CHECK(p != nullptr);
            CHILD_CHECK(!p->IsLoaded());
            CHILD_CHECK(RoInitialize(1) == int32_t(0x80004021u));
            void* cookie = nullptr;
            CHILD_CHECK(RoRegisterActivationFactories(nullptr, nullptr, 1, &cookie) == int32_t(0x80004021u));
            RoRevokeActivationFactories(cookie);
            RoUninitialize();
            bool thrown = false;
            try
            {
                p->RoUninitialize();
            }
            catch (const _com_error& e)
            {
                thrown = e.Error() == int32_t(0x80004021u);
            }
            CHILD_CHECK(thrown);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SysLibsDeathTest, ExportsForwardToComBase)
{
    StandInOnLibraryPath path;
    EXPECT_EXIT(
        {
            StartUp();
            CHILD_CHECK(Win32::ComBaseDllInstance()->IsLoaded());
            // First call S_OK, a repeat S_FALSE: both are success.
            CHILD_CHECK(RoInitialize(0) == 0);
            CHILD_CHECK(RoInitialize(0) == 0);
            // Another apartment mode: COMBASE's error comes back unchanged.
            CHILD_CHECK(RoInitialize(1) == int32_t(0x80010106u));
            CHILD_CHECK(StandInCalls("RoInitialize") == 3);
            // Any other exception of the library stops at the export: E_UNEXPECTED.
            CHILD_CHECK(RoInitialize(0x7E57) == int32_t(0x8000FFFFu));
            CHILD_CHECK(StandInCalls("RoInitialize") == 4);

            void* cookie = nullptr;
            void* ids[1] = {nullptr};
            void* factories[1] = {nullptr};
            CHILD_CHECK(RoRegisterActivationFactories(
                            ids, reinterpret_cast<Win32::PFNGETACTIVATIONFACTORY*>(factories), 1, &cookie) ==
                        0);
            CHILD_CHECK(cookie != nullptr);
            CHILD_CHECK(RoRegisterActivationFactories(
                            ids, reinterpret_cast<Win32::PFNGETACTIVATIONFACTORY*>(factories), 0, &cookie) ==
                        int32_t(0x80070057u));
            RoRevokeActivationFactories(cookie);
            CHILD_CHECK(StandInCalls("RoRevokeActivationFactories") == 1);
            RoUninitialize();
            CHILD_CHECK(StandInCalls("RoUninitialize") == 1);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SysLibsDeathTest, CallBeforeStartUpFixesTheMissingFunctionForGood)
{
    StandInOnLibraryPath path;
    EXPECT_EXIT(
        {
            CHILD_CHECK(Win32::ComBaseDllInstance() == nullptr);
            CHILD_CHECK(RoInitialize(0) == int32_t(0x80004021u));
            StartUp();
            CHILD_CHECK(Win32::ComBaseDllInstance()->IsLoaded());
            CHILD_CHECK(RoInitialize(0) == int32_t(0x80004021u));
            CHILD_CHECK(StandInCalls("RoInitialize") == 0);
            // Each operation fixes its own address: this one's first call comes after the start-up.
            void* cookie = nullptr;
            CHILD_CHECK(RoRegisterActivationFactories(nullptr, nullptr, 2, &cookie) == 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
