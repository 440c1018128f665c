#include "Utils/TextFile.h"

#include <QDateTime>
#include <QTextCodec>

namespace Utils
{

TextFileWriter::TextFileWriter(const QString& path, bool append, bool flush, bool timePrefix,
                               const std::string& codec)
    : m_file(path), m_flush(flush)
{
    const bool existed = m_file.exists();

    QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Text;
    mode |= append ? QIODevice::Append : QIODevice::Truncate;
    if (!m_file.open(mode))
    {
        ESS_THROW_MSG(Error, L"Can't open file " + path.toStdWString());
    }

    m_stream = std::make_unique<QTextStream>(&m_file);
    if (!codec.empty())
    {
        QTextCodec* pCodec = QTextCodec::codecForName(codec.c_str());
        if (pCodec == nullptr)
        {
            m_stream.reset();
            m_file.close();
            ESS_THROW_MSG(Error, L"Bad codec " + QString::fromStdString(codec).toStdWString());
        }
        m_stream->setCodec(pCodec);
    }

    if (timePrefix)
    {
        m_timeFormat = "d.MM hh:mm:ss";
    }

    if (!existed)
    {
        m_stream->setGenerateByteOrderMark(true);
    }
}

TextFileWriter::~TextFileWriter()
{
    m_stream.reset(); // the stream first: it flushes into the still open file
    m_file.close();
}

void TextFileWriter::WriteLine(const QString& text)
{
    if (!m_timeFormat.isEmpty())
    {
        *m_stream << QDateTime::currentDateTime().toString(m_timeFormat) << ": ";
    }
    *m_stream << text << "\n";
    if (m_flush)
    {
        m_stream->flush();
    }
}

} // namespace Utils
