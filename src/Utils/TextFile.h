#pragma once
#include <memory>
#include <string>
#include <QFile>
#include <QString>
#include <QTextStream>
#include <boost/noncopyable.hpp>
#include "ESS/Exception.h"

namespace Utils
{

// A text file written line by line through a Qt text stream with a named codec. A new file gets a
// byte-order mark; an existing one appended to does not.
class TextFileWriter : boost::noncopyable
{
public:
    ESS_DECLARE_EXCEPTION(Error, ::ESS::Exception);

    // Throws Error "Can't open file " + path or "Bad codec " + codec name.
    TextFileWriter(const QString& path, bool append, bool flush, bool timePrefix, const std::string& codec);
    ~TextFileWriter();

    // [time ": "] text "\n"; time as "d.MM hh:mm:ss" when asked for at construction.
    void WriteLine(const QString& text);

private:
    QFile m_file;
    std::unique_ptr<QTextStream> m_stream;
    bool m_flush;
    QString m_timeFormat;
};

} // namespace Utils
