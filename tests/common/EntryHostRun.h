#pragma once
// Runs the entry host (tools/entry_host) as a child with a bounded wait, for tests of named
// entries that must run in a process of their own.
#include <unistd.h>
#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace TestUtils
{

struct EntryHostRun
{
    bool finished = false;
    int exitCode = -1; // -2: ended by a signal
    QString out;
    QString err;
};

inline bool EntryHostBuilt()
{
#ifdef YR_ENTRY_HOST_PATH
    return access(YR_ENTRY_HOST_PATH, X_OK) == 0;
#else
    return false;
#endif
}

// "/entry name" and the entry's arguments, with the given standard input (then closed) and extra
// environment variables.
inline EntryHostRun RunEntryHost(const QString& entry, const QByteArray& input = QByteArray(),
                                 const QProcessEnvironment& extraEnv = QProcessEnvironment(),
                                 const QStringList& args = QStringList())
{
    EntryHostRun res;
#ifdef YR_ENTRY_HOST_PATH
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(extraEnv);
    p.setProcessEnvironment(env);
    p.start(YR_ENTRY_HOST_PATH, QStringList() << "/entry" << entry << args);
    if (!p.waitForStarted(10000))
        return res;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000))
    {
        p.kill();
        p.waitForFinished(5000);
        return res;
    }
    res.finished = true;
    res.exitCode = (p.exitStatus() == QProcess::NormalExit) ? p.exitCode() : -2;
    res.out = QString::fromUtf8(p.readAllStandardOutput());
    res.err = QString::fromUtf8(p.readAllStandardError());
#else
    (void)entry;
    (void)input;
    (void)extraEnv;
    (void)args;
#endif
    return res;
}

} // namespace TestUtils
