#pragma once
#include <map>
#include <string>
#include <boost/filesystem/path.hpp>
#include <boost/noncopyable.hpp>
#include "ESS/Exception.h"
#include "Utils/AppEntry.h"

namespace Utils
{

// A small set of name/value pairs kept in a text file, one "Name=<name>###Val=<value>" line per
// pair in name order. Values are scrambled (repeating XOR with a fixed key), in the file and in
// memory, so that they do not stand there as plain text; this hides them from a casual look, it
// is no protection against anyone who has the program.
class MapCryptoStorage : boost::noncopyable
{
public:
    // A name or value that would not read back unchanged from the file.
    ESS_DECLARE_EXCEPTION(BadField, ::ESS::Exception);

    // Loads the file when it is an existing regular file; a file that does not load is deleted
    // (and the store starts empty) when eraseBadFile is set. The status query throws on an error.
    MapCryptoStorage(const boost::filesystem::path& filePath, bool eraseBadFile);
    ~MapCryptoStorage();

    // Stores (replaces) the value in memory only; Save writes the file. Throws BadField for a name
    // or value that the file format cannot carry.
    void SetField(const std::string& name, const std::string& value);
    // The plain value; "" when the store is empty or does not hold the name.
    std::string GetField(const std::string& name) const;
    bool FieldExist(const std::string& name) const;
    bool IsEmpty() const;

    // Replaces the file with the current pairs. Throws Utils::IStoragable::IoError when the file
    // cannot be written; the file saved before is then left as it was.
    void Save();
    // Adds the pairs of the file; false when it cannot be read, is empty or has a bad line (the
    // pairs of the lines before the bad one stay).
    bool Load(const boost::filesystem::path& filePath);
    // Deletes the file (which must exist) and forgets every pair.
    void Erase();

private:
    bool ParseLine(const std::string& line);

    boost::filesystem::path m_filePath;
    std::map<std::string, std::string> m_ids; // name -> scrambled value
};

// The self-test of the named entry "MapCryptoStorage": stores two values in a file in the temp
// folder through three stores one after another and checks them; throws ESS::TutException on a
// mismatch. The arguments are not read.
int StorageTest(const ArgStringList& args);

} // namespace Utils
