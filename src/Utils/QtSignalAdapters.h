#pragma once
#include <string>
#include <QMetaMethod>
#include <QMetaType>
#include <QObject>
#include <boost/function.hpp>

// Lets a function travel through queued signals and QVariant.
Q_DECLARE_METATYPE(boost::function<void()>)

namespace Utils
{

// Registers the function type with Qt's meta-type system, also under the name
// "boost::function<void ()>"; needed before a function is sent through a queued connection.
// The start-up does it through a deferred initialiser; further calls do nothing.
void RegisterFunctionMetaType();

// Runs a function whenever a Qt signal of another object is emitted. The signal is named by its
// method name alone (so it must not be overloaded); the function runs in the thread this object
// belongs to (the constructing one), through a queued connection, so that thread must run a Qt
// event loop. Destroying the object disconnects it.
class QtSignalToFunc : public QObject
{
    Q_OBJECT

public:
    QtSignalToFunc(QObject& sender, const std::string& signalMethod, const boost::function<void()>& fn);

    // The method of obj's meta-object with that name; fatal when there is none ("Method not
    // found: ") or more than one ("Duplicate method: ").
    static QMetaMethod FindMethod(QObject& obj, const std::string& name);

private Q_SLOTS:
    void OnAction();

private:
    boost::function<void()> m_fn;
    QMetaObject::Connection m_connection;
};

} // namespace Utils

namespace UtilsQt
{

// Carries a function to a receiver: a receiver connected with a queued connection runs the
// function in its own thread. Nothing here emits it; it is for users that own a receiver.
class CtFuncRunner : public QObject
{
    Q_OBJECT

Q_SIGNALS:
    void SignalRunAsync(boost::function<void()> fn);
};

} // namespace UtilsQt
