#include <benchmark/benchmark.h>
#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>
#include <QString>
#include "AppUtils/AppConfig.h"

// Reading the plug-in's config.ini, which happens on the host's thread inside the channel entry:
// the time must stay linear in the number of lines (10,000 to 300,000 distinct keys).
static void BM_ReadConfigIni(benchmark::State& state)
{
    const int lines = static_cast<int>(state.range(0));
    char path[] = "/tmp/bench-config-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    {
        std::ofstream out(path);
        out << "// generated\nLogLevel = 7\n";
        for (int i = 0; i < lines; ++i)
            out << "Key" << i << " = value " << i << "\n";
    }
    for (auto _ : state)
    {
        AppUtils::AppConfig config(QString::fromLocal8Bit(path));
        benchmark::DoNotOptimize(config.GetRawValue("LogLevel"));
    }
    std::remove(path);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * lines);
}
BENCHMARK(BM_ReadConfigIni)->Arg(10000)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond);
