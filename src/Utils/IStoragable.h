#pragma once
#include <QString>
#include <QStringList>
#include "ESS/Exception.h"
#include "Utils/IBasicInterface.h"

class QTextStream;

namespace Utils
{

// An object that can be saved to and loaded from a text file in a named codec.
class IStoragable : public IBasicInterface
{
public:
    ESS_DECLARE_EXCEPTION(IoError, ::ESS::Exception);

    virtual void SaveToStream(QTextStream& stream) const = 0;
    virtual void LoadFromStream(QTextStream& stream) = 0;

    // A name starting with ":/" is a Qt resource and skips the is-a-file test.
    void LoadFromFile(const QString& fileName, const char* codecName);
    void SaveToFile(const QString& fileName, const char* codecName) const;
};

// A list of lines that can be loaded and saved; empty lines are kept.
class StringList : public IStoragable, public QStringList
{
public:
    void SaveToStream(QTextStream& stream) const override;
    void LoadFromStream(QTextStream& stream) override;
};

} // namespace Utils
