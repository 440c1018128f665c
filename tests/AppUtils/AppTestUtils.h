#pragma once
// Temporary folders and files for the application-layer tests.
#include <string>
#include <vector>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTextCodec>
#include <gtest/gtest.h>

namespace AppTest
{

// The text in Windows-1251, as "config.ini" is written.
inline QByteArray To1251(const QString& text)
{
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(text);
}

inline void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(bytes.size(), f.write(bytes));
}

inline QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// The UTF-8 lines of a text file (without a byte-order mark).
inline std::vector<std::string> ReadLines(const QString& path)
{
    QByteArray bytes = ReadBytes(path);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    std::vector<std::string> lines;
    for (const QByteArray& l : bytes.split('\n'))
    {
        if (!l.isEmpty())
            lines.push_back(l.toStdString());
    }
    return lines;
}

// Index of the first line that contains text at or after from; -1 when there is none.
inline int FindLine(const std::vector<std::string>& lines, const std::string& text, int from = 0)
{
    for (size_t i = size_t(from); i < lines.size(); ++i)
    {
        if (lines[i].find(text) != std::string::npos)
            return int(i);
    }
    return -1;
}

} // namespace AppTest
