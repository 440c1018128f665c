#include "Utils/QtSignalAdapters.h"

#include "ESS/Assert.h"
#include "Utils/DelayInit.h"

namespace Utils
{

void RegisterFunctionMetaType()
{
    // Both are idempotent: the second registration of one name for one type is a no-op.
    qRegisterMetaType<boost::function<void()>>();
    qRegisterMetaType<boost::function<void()>>("boost::function<void ()>");
}

namespace
{
Utils::DelayInitRegistrar g_metaTypeInit(&RegisterFunctionMetaType, 0);
} // namespace

QtSignalToFunc::QtSignalToFunc(QObject& sender, const std::string& signalMethod,
                               const boost::function<void()>& fn)
    : QObject(nullptr), m_fn(fn)
{
    ESS_ASSERT(m_fn);
    ESS_ASSERT(!signalMethod.empty());

    const QMetaMethod slot = FindMethod(*this, "OnAction");
    const QMetaMethod signal = FindMethod(sender, signalMethod);
    m_connection = QObject::connect(&sender, signal, this, slot, Qt::QueuedConnection);
    ESS_ASSERT(m_connection);
}

QMetaMethod QtSignalToFunc::FindMethod(QObject& obj, const std::string& name)
{
    const QMetaObject* p = obj.metaObject();
    ESS_ASSERT(p != 0);

    QMetaMethod found;
    bool have = false;
    for (int i = 0; i < p->methodCount(); ++i)
    {
        const QMetaMethod m = p->method(i);
        ESS_ASSERT(m.isValid());
        const QByteArray methodName = m.name();
        if (methodName.size() != static_cast<int>(name.size()) ||
            name.compare(0, name.size(), methodName.constData(), size_t(methodName.size())) != 0)
            continue;
        if (have)
            ESS_HALT("Duplicate method: " + name);
        found = m;
        have = true;
    }
    if (!have)
        ESS_HALT("Method not found: " + name);
    return found;
}

void QtSignalToFunc::OnAction()
{
    m_fn();
}

} // namespace Utils
