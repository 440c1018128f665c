// The named entries "YrLogBenchLoopV2" and "YrLogBenchV2": how fast records go through the
// logging library, measured with the tick timer and printed on standard output.
//   YrLogBenchLoopV2 <count>   records written to a log file, count of them
//   YrLogBenchV2               a fixed series of configurations
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <QTemporaryDir>
#include "Utils/AppEntry.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "YrLogV2/TimerTicks.h"

namespace YrLogV2
{

namespace
{

// Takes every record and keeps nothing: the pipeline's own cost.
class DiscardOutput : public ILogOutput
{
public:
    void Write(const LogRecord&, const std::string&) override {}
};

// One configuration: where the records go and at which tag (a tag below the node's level is
// filtered out before anything is formatted).
struct BenchConfig
{
    const char* name;
    enum Target
    {
        Discard,
        File
    } target;
    bool filtered;
};

// Writes count records in the configuration; prints and returns the milliseconds taken.
uint32_t RunConfig(const BenchConfig& config, uint64_t count)
{
    QTemporaryDir dir;
    std::shared_ptr<ILogOutput> output;
    if (config.target == BenchConfig::File)
        output = CreateFileOutput(dir.path());
    else
        output = std::make_shared<DiscardOutput>();
    const auto link = LogRoot::Instance().AttachOutput(output);
    Log log(LogRoot::RootLog(), "YrLogBench");
    const Tag& tag = config.filtered ? LogTrace : Info;
    const std::string text = "benchmark text";

    Utils::TimerTicks timer;
    timer.Restart();
    for (uint64_t i = 0; i < count; ++i)
        log.Add(tag, "record {} of {}: {}", i, count, text);
    const uint32_t ms = timer.Elapsed();

    std::cout << config.name << ": " << count << " records in " << ms << " ms" << std::endl;
    return ms;
}

const BenchConfig c_fileConfig = {"file", BenchConfig::File, false};

// A positive decimal count; 0 for anything else.
uint64_t ParseCount(const std::string& text)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    return *end == '\0' ? n : 0;
}

int BenchLoopEntry(const Utils::ArgStringList& args)
{
    const uint64_t count = args.size() == 1 ? ParseCount(args[0]) : 0;
    if (count == 0)
    {
        std::cout << "Please, pass records count as first arg!" << std::endl;
        return -1;
    }
    RunConfig(c_fileConfig, count);
    return 0;
}

int BenchSeriesEntry(const Utils::ArgStringList&)
{
    const uint64_t c_count = 100000;
    static const BenchConfig c_series[] = {
        {"filtered out", BenchConfig::Discard, true},
        {"discarded", BenchConfig::Discard, false},
        c_fileConfig,
    };
    for (const BenchConfig& config : c_series)
        RunConfig(config, c_count);
    return 0;
}

const RegisterAppEntry g_benchLoopEntry("YrLogBenchLoopV2", &BenchLoopEntry, true);
const RegisterAppEntry g_benchSeriesEntry("YrLogBenchV2", &BenchSeriesEntry, true);

} // namespace

} // namespace YrLogV2
