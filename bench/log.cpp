// Cost of log records: one filtered out by its level, one written to a file, and the pieces between.
#include <memory>
#include <string>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace
{

using namespace YrLogV2;

// Takes every record and keeps nothing: the cost of the pipeline without any I/O.
class NullOutput : public ILogOutput
{
public:
    void Write(const LogRecord&, const std::string& line) override { benchmark::DoNotOptimize(line.data()); }
};

void BM_LogFilteredOut(benchmark::State& state)
{
    Log log(LogRoot::RootLog(), "BenchFiltered");
    const std::string text = "some text";
    int i = 0;
    for (auto _ : state)
        log.Add(LogTrace, "value {} and {}", ++i, text);
}
BENCHMARK(BM_LogFilteredOut);

void BM_LogActive(benchmark::State& state)
{
    Log log(LogRoot::RootLog(), "BenchActive");
    for (auto _ : state)
        benchmark::DoNotOptimize(log.Active(LogTrace));
}
BENCHMARK(BM_LogActive);

void BM_LogToNullOutput(benchmark::State& state)
{
    Log log(LogRoot::RootLog(), "BenchNull");
    auto link = LogRoot::Instance().AttachOutput(std::make_shared<NullOutput>());
    const std::string text = "some text";
    int i = 0;
    for (auto _ : state)
        log.Add(Info, "value {} and {}", ++i, text);
}
BENCHMARK(BM_LogToNullOutput);

void BM_LogToFile(benchmark::State& state)
{
    QTemporaryDir dir;
    Log log(LogRoot::RootLog(), "BenchFile");
    auto link = LogRoot::Instance().AttachOutput(CreateFileOutput(dir.path()));
    const std::string text = "some text";
    int i = 0;
    for (auto _ : state)
        log.Add(Info, "value {} and {}", ++i, text);
}
BENCHMARK(BM_LogToFile);

} // namespace
