#pragma once
#include <QString>
#include <QtGlobal>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>

class QMessageLogContext;

namespace Utils
{

// Routes Qt's diagnostic messages (qDebug, qWarning, ...) to the program's hooks. Qt's handler is
// replaced once, when the first hook is made; hooks run in registration order, on the thread that
// produced the message, serialised by one recursive lock, so a hook may itself cause a Qt message.
// With no hook registered, messages go to the handler that was installed before.
class QtMsgHandler : boost::noncopyable
{
public:
    struct Msg
    {
        Msg(QtMsgType type, const QMessageLogContext* pContext, const QString& text)
            : m_type(type), m_pContext(pContext), m_text(text)
        {
        }

        QtMsgType m_type;
        const QMessageLogContext* m_pContext;
        QString m_text;

        // The context's category.
        QString Category() const;
        // "file:line function", each part only when known; "" when neither is.
        QString Location() const;
    };

    enum HookResult
    {
        Handled = 0, // the walk stops here
        PassOn = 1,  // the next hook sees the message too
    };

    typedef boost::function<HookResult(const Msg&)> Hook;

    // Registers the hook under this object's address (one hook per object).
    explicit QtMsgHandler(const Hook& hook);
    // Removes the hook.
    ~QtMsgHandler();

    // When no hook is left, gives Qt back the handler that was installed before the first hook and
    // returns true; a later hook replaces Qt's handler again. Code that is about to be unloaded
    // calls it, so that Qt never calls into unloaded code.
    static bool RestorePreviousHandler();
};

} // namespace Utils
