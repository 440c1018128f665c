#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageLogContext>
#include <QMetaType>
#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "Utils/QtMsgHandler.h"
#include "Utils/QtSignalAdapters.h"

namespace
{

using Utils::QtMsgHandler;

// Stands for the handler Qt had before ours.
struct Captured
{
    std::mutex lock;
    std::vector<std::string> texts;

    std::vector<std::string> Texts()
    {
        std::lock_guard<std::mutex> l(lock);
        return texts;
    }
} g_prevSeen;

void PreviousHandler(QtMsgType, const QMessageLogContext&, const QString& text)
{
    std::lock_guard<std::mutex> l(g_prevSeen.lock);
    g_prevSeen.texts.push_back(text.toStdString());
}

// Every test starts with the stand-in as Qt's handler and leaves Qt's own handler behind.
class QtMsgHookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> l(g_prevSeen.lock);
            g_prevSeen.texts.clear();
        }
        qInstallMessageHandler(&PreviousHandler);
    }

    void TearDown() override
    {
        QtMsgHandler::RestorePreviousHandler();
        qInstallMessageHandler(nullptr);
    }
};

struct HookLog
{
    std::mutex lock;
    std::vector<std::string> seen;

    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> l(lock);
        seen.push_back(s);
    }
    std::vector<std::string> Seen()
    {
        std::lock_guard<std::mutex> l(lock);
        return seen;
    }
};

QtMsgHandler::Hook Recorder(HookLog& log, const std::string& name, QtMsgHandler::HookResult res)
{
    return [&log, name, res](const QtMsgHandler::Msg& m)
    {
        log.Add(name + ":" + m.m_text.toStdString());
        return res;
    };
}

template <class TPred>
bool WaitFor(TPred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A Qt thread that serves its posted events until it is destroyed. (A QEventLoop needs a
// QCoreApplication, which a plug-in's host does not have; the thread's dispatcher does not.)
class EventLoopThread : public QThread
{
public:
    EventLoopThread()
    {
        start();
        WaitFor([this] { return m_ready.load(); });
    }
    ~EventLoopThread() override
    {
        m_stop = true;
        if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance(this))
            d->wakeUp();
        wait();
    }
    QThread* Get() { return this; }

private:
    void run() override
    {
        QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
        m_ready = true;
        while (!m_stop)
            d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }

    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_stop{false};
};

// Queued events are delivered only while a QCoreApplication exists; the test body runs in a child
// process with one, so that no other test sees it. The body returns "" or what went wrong.
template <class TBody>
[[noreturn]] void CoreAppChild(TBody body)
{
    int argc = 1;
    char arg0[] = "test";
    char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);
    const std::string error = body();
    if (!error.empty())
        std::fprintf(stderr, "%s\n", error.c_str());
    std::fflush(stderr);
    _exit(error.empty() ? 0 : 1);
}

template <class TBody>
void RunWithCoreApp(TBody body)
{
    EXPECT_EXIT(CoreAppChild(body), ::testing::ExitedWithCode(0), "");
}

} // namespace

TEST(QtMsgHookMsgTest, LocationAndCategoryFromTheContext)
{
    const QMessageLogContext full("f.cpp", 7, "fn", "cat");
    const QtMsgHandler::Msg a(QtWarningMsg, &full, "t");
    EXPECT_EQ("f.cpp:7 fn", a.Location().toStdString());
    EXPECT_EQ("cat", a.Category().toStdString());

    const QMessageLogContext fnOnly(nullptr, 0, "fn", "default");
    EXPECT_EQ("fn", QtMsgHandler::Msg(QtDebugMsg, &fnOnly, "t").Location().toStdString());

    const QMessageLogContext fileOnly("g.cpp", 12, nullptr, nullptr);
    EXPECT_EQ("g.cpp:12", QtMsgHandler::Msg(QtDebugMsg, &fileOnly, "t").Location().toStdString());

    const QMessageLogContext none;
    EXPECT_EQ("", QtMsgHandler::Msg(QtDebugMsg, &none, "t").Location().toStdString());
}

TEST_F(QtMsgHookTest, HooksSeeMessagesInOrderUntilOneHandlesIt)
{
    HookLog log;
    {
        QtMsgHandler a(Recorder(log, "A", QtMsgHandler::PassOn));
        QtMsgHandler b(Recorder(log, "B", QtMsgHandler::Handled));
        QtMsgHandler c(Recorder(log, "C", QtMsgHandler::Handled));
        qWarning("one");
    }
    EXPECT_THAT(log.Seen(), ::testing::ElementsAre("A:one", "B:one"));
    EXPECT_TRUE(g_prevSeen.Texts().empty());

    HookLog log2;
    {
        QtMsgHandler a(Recorder(log2, "A", QtMsgHandler::Handled));
        QtMsgHandler b(Recorder(log2, "B", QtMsgHandler::Handled));
        qWarning("two");
    }
    EXPECT_THAT(log2.Seen(), ::testing::ElementsAre("A:two"));
}

TEST_F(QtMsgHookTest, EveryHookPassingOnEndsTheWalkWithoutThePreviousHandler)
{
    HookLog log;
    QtMsgHandler a(Recorder(log, "A", QtMsgHandler::PassOn));
    qInfo("info");
    EXPECT_THAT(log.Seen(), ::testing::ElementsAre("A:info"));
    EXPECT_TRUE(g_prevSeen.Texts().empty());
}

TEST_F(QtMsgHookTest, WithoutHooksMessagesReachThePreviousHandler)
{
    HookLog log;
    {
        QtMsgHandler a(Recorder(log, "A", QtMsgHandler::Handled));
    }
    qWarning("after");
    EXPECT_TRUE(log.Seen().empty());
    EXPECT_THAT(g_prevSeen.Texts(), ::testing::ElementsAre("after"));
}

TEST_F(QtMsgHookTest, RestoreGivesQtBackThePreviousHandlerOnlyWhenNoHookIsLeft)
{
    HookLog log;
    {
        QtMsgHandler a(Recorder(log, "A", QtMsgHandler::Handled));
        EXPECT_FALSE(QtMsgHandler::RestorePreviousHandler());
        qWarning("hooked");
    }
    EXPECT_TRUE(QtMsgHandler::RestorePreviousHandler());
    EXPECT_FALSE(QtMsgHandler::RestorePreviousHandler());
    // Qt's handler is the stand-in again, not a function of ours.
    EXPECT_EQ(&PreviousHandler, qInstallMessageHandler(&PreviousHandler));

    // A new hook takes Qt's handler over again.
    QtMsgHandler b(Recorder(log, "B", QtMsgHandler::Handled));
    qWarning("again");
    EXPECT_THAT(log.Seen(), ::testing::ElementsAre("A:hooked", "B:again"));
    EXPECT_TRUE(g_prevSeen.Texts().empty());
}

TEST_F(QtMsgHookTest, AHookMayRegisterHooksAndCauseQtMessagesOnItsThread)
{
    HookLog log;
    std::unique_ptr<QtMsgHandler> late;
    QtMsgHandler a(
        [&](const QtMsgHandler::Msg& m)
        {
            log.Add("A:" + m.m_text.toStdString());
            if (!late)
            {
                late = std::make_unique<QtMsgHandler>(Recorder(log, "L", QtMsgHandler::Handled));
                // Qt itself sends a message raised inside its handler to standard error.
                qWarning("nested");
            }
            return QtMsgHandler::PassOn;
        });
    qWarning("first");
    qWarning("second");
    late.reset();
    EXPECT_THAT(log.Seen(), ::testing::ElementsAre("A:first", "A:second", "L:second"));
}

TEST_F(QtMsgHookTest, AHookRemovedByAnEarlierHookDuringTheWalkIsNotCalled)
{
    HookLog log;
    // B's hook reaches B's owner state; once B is gone it must not run.
    struct Owner
    {
        explicit Owner(HookLog& l)
            : alive(new bool(true)),
              hook(
                  [&l, a = alive](const QtMsgHandler::Msg& m)
                  {
                      l.Add(std::string(*a ? "B:" : "dead B:") + m.m_text.toStdString());
                      return QtMsgHandler::Handled;
                  })
        {
        }
        ~Owner() { *alive = false; }
        std::shared_ptr<bool> alive;
        QtMsgHandler hook;
    };
    std::unique_ptr<Owner> b;
    QtMsgHandler a(
        [&](const QtMsgHandler::Msg& m)
        {
            log.Add("A:" + m.m_text.toStdString());
            b.reset();
            return QtMsgHandler::PassOn;
        });
    b = std::make_unique<Owner>(log);
    qWarning("one");
    EXPECT_THAT(log.Seen(), ::testing::ElementsAre("A:one"));
    EXPECT_TRUE(g_prevSeen.Texts().empty());
}

TEST_F(QtMsgHookTest, MessagesOfOtherThreadsReachTheHooksOnTheirThread)
{
    std::mutex lock;
    std::vector<void*> threads;
    QtMsgHandler a(
        [&](const QtMsgHandler::Msg&)
        {
            std::lock_guard<std::mutex> l(lock);
            threads.push_back(Platform::Thread::GetCurrentThreadID());
            return QtMsgHandler::Handled;
        });
    std::atomic<void*> other{nullptr};
    std::thread t(
        [&]
        {
            other = Platform::Thread::GetCurrentThreadID();
            for (int i = 0; i < 50; ++i)
                qWarning("from thread %d", i);
        });
    for (int i = 0; i < 50; ++i)
        qWarning("from test %d", i);
    t.join();

    std::lock_guard<std::mutex> l(lock);
    ASSERT_EQ(100u, threads.size());
    EXPECT_EQ(50, std::count(threads.begin(), threads.end(), other.load()));
    EXPECT_EQ(50, std::count(threads.begin(), threads.end(), Platform::Thread::GetCurrentThreadID()));
}

TEST_F(QtMsgHookTest, OneOwnerCannotRegisterTwice)
{
    EXPECT_DEATH(
        {
            alignas(QtMsgHandler) unsigned char storage[sizeof(QtMsgHandler)];
            const QtMsgHandler::Hook hook = [](const QtMsgHandler::Msg&) { return QtMsgHandler::Handled; };
            new (storage) QtMsgHandler(hook);
            new (storage) QtMsgHandler(hook);
        },
        "i == m_list.end\\(\\)");
}

TEST(QtSignalToFuncTest, RunsTheFunctionInItsObjectsThreadThroughTheEventLoop)
{
    RunWithCoreApp(
        []
        {
            EventLoopThread worker;
            QObject sender;
            std::atomic<int> calls{0};
            std::atomic<QThread*> ranIn{nullptr};
            Utils::QtSignalToFunc link(sender, "objectNameChanged",
                                       [&]
                                       {
                                           ranIn = QThread::currentThread();
                                           ++calls;
                                       });
            link.moveToThread(worker.Get());

            sender.setObjectName("first");
            sender.setObjectName("second");
            if (!WaitFor([&] { return calls.load() == 2; }))
                return "calls: " + std::to_string(calls.load());
            if (ranIn.load() != worker.Get())
                return std::string("ran in the wrong thread");
            return std::string();
        });
}

TEST(QtSignalToFuncTest, NeverRunsInsideTheEmittingCall)
{
    QObject sender;
    int calls = 0;
    // The object belongs to this thread, which runs no event loop now.
    Utils::QtSignalToFunc link(sender, "objectNameChanged", [&] { ++calls; });
    sender.setObjectName("x");
    EXPECT_EQ(0, calls);
}

TEST(QtSignalToFuncTest, FindsMethodsByNameAlone)
{
    QObject obj;
    const QMetaMethod m = Utils::QtSignalToFunc::FindMethod(obj, "objectNameChanged");
    EXPECT_EQ("objectNameChanged", m.name().toStdString());
    EXPECT_EQ(QMetaMethod::Signal, m.methodType());
}

TEST(QtSignalToFuncTest, AnOverloadedOrUnknownSignalIsFatal)
{
    // QObject::destroyed exists with and without its argument.
    EXPECT_DEATH(
        {
            QObject obj;
            Utils::QtSignalToFunc::FindMethod(obj, "destroyed");
        },
        "Duplicate method: destroyed");
    EXPECT_DEATH(
        {
            QObject obj;
            Utils::QtSignalToFunc link(obj, "noSuchSignal", [] {});
        },
        "Method not found: noSuchSignal");
    EXPECT_DEATH(
        {
            QObject obj;
            Utils::QtSignalToFunc link(obj, "", [] {});
        },
        "!signalMethod.empty\\(\\)");
}

TEST(CtFuncRunnerTest, AQueuedReceiverRunsTheCarriedFunctionInItsThread)
{
    Utils::RegisterFunctionMetaType();
    const int id = QMetaType::type("boost::function<void ()>");
    EXPECT_NE(QMetaType::UnknownType, id);
    EXPECT_EQ(qMetaTypeId<boost::function<void()>>(), id);

    RunWithCoreApp(
        []
        {
            Utils::RegisterFunctionMetaType();
            EventLoopThread worker;
            QObject receiver;
            receiver.moveToThread(worker.Get());
            UtilsQt::CtFuncRunner runner;
            QObject::connect(
                &runner, &UtilsQt::CtFuncRunner::SignalRunAsync, &receiver,
                [](boost::function<void()> fn) { fn(); }, Qt::QueuedConnection);

            std::atomic<QThread*> ranIn{nullptr};
            std::atomic<int> calls{0};
            Q_EMIT runner.SignalRunAsync(
                [&]
                {
                    ranIn = QThread::currentThread();
                    ++calls;
                });
            if (!WaitFor([&] { return calls.load() == 1; }))
                return std::string("the function did not run");
            if (ranIn.load() != worker.Get())
                return std::string("ran in the wrong thread");
            return std::string();
        });
}
