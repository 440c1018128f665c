#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include "Utils/DelayInit.h"
#include "Utils/ExeName.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

using namespace YrLogV2;

namespace
{

bool Touch(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

// The start-up runs the deferred initialisers once per process, so the scenario has one of its own.
void DeferredInitScenario(bool withMarker)
{
    QTemporaryDir dir;
    const QString exe = dir.filePath("fake_exe");
    if (!dir.isValid() || !Touch(exe) || (withMarker && !Touch(dir.filePath("debug.mode"))))
        std::_Exit(2);
    const std::string exeText = exe.toStdString();
    const char* argv[] = {exeText.c_str(), nullptr};
    Utils::ExeName::Init(1, argv, "{", "}");

    LogRoot::Instance().SetDebugMode(!withMarker);
    Utils::DelayInitHost::Instance().DoInit();
    const bool flagOk = LogRoot::Instance().DebugMode() == withMarker;
    if (!flagOk)
        std::fprintf(stderr, "debug flag wrong\n");
    std::_Exit(flagOk ? 0 : 1);
}

// Threads race for the first use of the root.
void ConcurrentCreationScenario()
{
    const int c_threads = 8;
    std::atomic<int> ready{0};
    std::vector<Log*> roots(c_threads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < c_threads; ++i)
        threads.emplace_back(
            [&, i]
            {
                ++ready;
                while (ready.load() < c_threads)
                {
                }
                roots[i] = &LogRoot::RootLog();
                Log(*roots[i], "Racer").Add(Info, "thread {}", i);
            });
    for (auto& t : threads)
        t.join();

    bool ok = true;
    for (Log* p : roots)
        ok &= (p == roots[0]);
    auto m = std::make_shared<MemoryOutput>();
    auto link = LogRoot::Instance().AttachOutput(m);
    ok &= (m->Texts("Racer").size() == size_t(c_threads));
    std::_Exit(ok ? 0 : 1);
}

} // namespace

TEST(LogInitDeathTest, FirstUseFromManyThreadsMakesOneRoot)
{
    EXPECT_EXIT(ConcurrentCreationScenario(), ::testing::ExitedWithCode(0), "");
}

TEST(LogInitDeathTest, DebugFlagFollowsTheMarkerNextToTheExecutable)
{
    EXPECT_EXIT(DeferredInitScenario(true), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(DeferredInitScenario(false), ::testing::ExitedWithCode(0), "");
}
