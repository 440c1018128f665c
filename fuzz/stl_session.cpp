// libFuzzer target: a server session driven by a script decoded from the input, as a hostile
// client and a careless owner would drive it (the script format and the checks are in the
// harness, which the test suite shares to replay the kept corpus).
#include <cstdio>
#include <cstdlib>
#include <QThread>
#include "../tests/SessTranspLayer/StlSessionHarness.h"
#include "YrLogV2/Log.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

iCore::MsgThread* g_thread = nullptr;
YrLogV2::Log* g_log = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every record is formatted (so its code runs too) but none is kept.
    YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {{"StlFuzz", 16}});
    YrLogV2::LogRoot::Instance().DiscardEarlyRecords();
    g_log = new YrLogV2::Log(YrLogV2::LogRoot::RootLog(), "StlFuzz");
    // Lives as long as the process: the fuzzer ends it with exit().
    new iCore::ThreadRunnerFunc(
        iCore::ThreadRunnerFuncProfile(0, "StlFuzz", QThread::InheritPriority, 0, 0, false),
        [](iCore::MsgThread& t) { g_thread = &t; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StlFuzz::RunServerScript(*g_thread, *g_log, data, size,
                             [](const char* what)
                             {
                                 std::fprintf(stderr, "stl_session fuzz: %s\n", what);
                                 std::abort();
                             });
    return 0;
}
