#include "Utils/QtMsgHandler.h"

#include <algorithm>
#include <utility>
#include <vector>
#include <QMessageLogContext>
#include "ESS/Assert.h"
#include "Utils/FileSystem.h"

namespace Utils
{

namespace
{

// The process-wide message-hook lock, held for the scope.
class HookLock : boost::noncopyable
{
public:
    HookLock() { LockQtMessageHook(); }
    ~HookLock() { UnlockQtMessageHook(); }
};

class Handler : boost::noncopyable
{
public:
    Handler() : m_prev(nullptr), m_installed(false) { Install(); }

    // Qt's handler becomes ours; the one it replaces is kept.
    void Install()
    {
        m_prev = qInstallMessageHandler(&Handler::StaticHandle);
        ESS_ASSERT(m_prev);
        m_installed = true;
    }

    bool Restore()
    {
        if (!m_installed || !m_list.empty())
            return false;
        const QtMessageHandler current = qInstallMessageHandler(m_prev);
        if (current != &Handler::StaticHandle)
        {
            // Somebody installed a handler over ours and may chain to us: leave theirs in place.
            qInstallMessageHandler(current);
            return false;
        }
        m_installed = false;
        return true;
    }

    bool Installed() const { return m_installed; }

    void Register(QtMsgHandler* pOwner, const QtMsgHandler::Hook& fn)
    {
        ESS_ASSERT(pOwner && fn);
        HookLock lock;
        const auto i = Find(pOwner);
        ESS_ASSERT(i == m_list.end());
        m_list.emplace_back(pOwner, fn);
    }

    void Unregister(QtMsgHandler* pOwner)
    {
        HookLock lock;
        const auto i = Find(pOwner);
        ESS_ASSERT(i != m_list.end());
        m_list.erase(i);
    }

    static void StaticHandle(QtMsgType type, const QMessageLogContext& context, const QString& text);

private:
    typedef std::vector<std::pair<QtMsgHandler*, QtMsgHandler::Hook>> List;

    List::iterator Find(QtMsgHandler* pOwner)
    {
        ESS_ASSERT(pOwner != 0);
        return std::find_if(m_list.begin(), m_list.end(),
                            [pOwner](const List::value_type& v) { return v.first == pOwner; });
    }

    void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (m_list.empty() || !m_installed)
        {
            m_prev(type, context, text);
            return;
        }
        // A hook may add or remove hooks on this thread while the walk runs: walk a copy, and
        // skip a hook whose owner left meanwhile (its function may reach the destroyed owner).
        const List hooks = m_list;
        for (const auto& h : hooks)
        {
            if (Find(h.first) == m_list.end())
                continue;
            const QtMsgHandler::Msg msg(type, &context, QString(text));
            if (h.second(msg) != QtMsgHandler::PassOn)
                break;
        }
    }

    List m_list;
    QtMessageHandler m_prev;
    bool m_installed;
};

// Made on first need and never destroyed (Qt may call the handler until the process ends).
Handler* g_pHandler = nullptr; // guarded by the message-hook lock

void Handler::StaticHandle(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    HookLock lock;
    ESS_ASSERT(g_pHandler);
    g_pHandler->Handle(type, context, text);
}

} // namespace

QString QtMsgHandler::Msg::Category() const
{
    ESS_ASSERT(m_pContext != 0);
    return QString("%1").arg(m_pContext->category);
}

QString QtMsgHandler::Msg::Location() const
{
    ESS_ASSERT(m_pContext != 0);
    QString res;
    if (m_pContext->file != nullptr)
        res += QString("%1:%2").arg(m_pContext->file).arg(m_pContext->line);
    if (m_pContext->function != nullptr)
    {
        if (!res.isEmpty())
            res += " ";
        res += m_pContext->function;
    }
    return res;
}

QtMsgHandler::QtMsgHandler(const Hook& hook)
{
    HookLock lock;
    if (g_pHandler == nullptr)
        g_pHandler = new Handler();
    else if (!g_pHandler->Installed())
        g_pHandler->Install();
    g_pHandler->Register(this, hook);
}

QtMsgHandler::~QtMsgHandler()
{
    HookLock lock;
    ESS_ASSERT(g_pHandler != 0);
    g_pHandler->Unregister(this);
}

bool QtMsgHandler::RestorePreviousHandler()
{
    HookLock lock;
    return g_pHandler != nullptr && g_pHandler->Restore();
}

} // namespace Utils
