// The thread statistics report (Utils::ThreadsInfo) writes through the log node "Threads".
#include <memory>
#include <QMutex>
#include "Utils/ThreadsInfo.h"
#include "YrLogV2/Log.h"

namespace AppUtils
{

namespace
{

class ThreadsLogTarget : public Utils::ThreadsInfo::ILogTarget
{
public:
    ThreadsLogTarget() : m_log(YrLogV2::LogRoot::RootLog(), "Threads") {}

    bool ProbeFree(int waitMs) override
    {
        QMutex& m = YrLogV2::LogRoot::Instance().Mutex();
        if (!m.tryLock(waitMs))
            return false;
        m.unlock();
        return true;
    }

    void Write(const std::string& line) override { m_log.Put(line, YrLogV2::Info); }

private:
    YrLogV2::Log m_log;
};

struct Registrar
{
    Registrar()
    {
        Utils::ThreadsInfo::SetLogTargetFactory([] { return std::make_unique<ThreadsLogTarget>(); });
    }
} g_registrar;

} // namespace

} // namespace AppUtils
