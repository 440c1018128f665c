#include "Utils/IStoragable.h"
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <QTextStream>
#include "ESS/Assert.h"
#include "Utils/StringUtils.h"

namespace Utils
{

namespace
{

[[noreturn]] void ThrowIoError(const QString& fileName, const char* reason, const ESS::CppLocation& location)
{
    const QString text = QString("%1 - %2").arg(fileName, QString::fromLatin1(reason));
    ESS::Throw(IStoragable::IoError(StdStringToWString(text.toUtf8().toStdString()), location));
}

} // namespace

void IStoragable::LoadFromFile(const QString& fileName, const char* codecName)
{
    if (!fileName.startsWith(":/") && !QFileInfo(fileName).isFile())
        ThrowIoError(fileName, "isn`t a file", ESS_LOCATION);

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        ThrowIoError(fileName, "can`t open", ESS_LOCATION);

    // QTextStream silently keeps its default codec for an unknown name: a wrong name is a bug.
    ESS_ASSERT(QTextCodec::codecForName(codecName) != 0);
    QTextStream stream(&file);
    stream.setCodec(codecName);
    LoadFromStream(stream);
}

void IStoragable::SaveToFile(const QString& fileName, const char* codecName) const
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        ThrowIoError(fileName, "can`t open", ESS_LOCATION);
    if (!file.resize(0))
        ThrowIoError(fileName, "can`t resize", ESS_LOCATION);

    ESS_ASSERT(QTextCodec::codecForName(codecName) != 0);
    QTextStream stream(&file);
    stream.setCodec(codecName);
    SaveToStream(stream);
}

void StringList::SaveToStream(QTextStream& stream) const
{
    for (const QString& line : *this)
        stream << line << Qt::endl;
}

void StringList::LoadFromStream(QTextStream& stream)
{
    clear();
    while (true)
    {
        const QString line = stream.readLine();
        if (line.isNull())
            break;
        append(line);
    }
}

} // namespace Utils
