#include "AppUtils/CleanFiles.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <exception>
#include <vector>
#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>

namespace AppUtils
{

namespace fs = boost::filesystem;

namespace
{

struct FileRec
{
    std::time_t mtime;
    uint64_t size;
    fs::path path;
};

bool Matches(const boost::regex* pRe, const std::string& name)
{
    return pRe != nullptr && boost::regex_match(name, *pRe);
}

int CleanFilesImpl(const CleanFilesRule& rule);

} // namespace

int CleanFiles(const CleanFilesRule& rule)
{
    try
    {
        return CleanFilesImpl(rule);
    }
    catch (const std::exception&)
    {
        // A pattern too complex to match (boost refuses runaway matches by throwing) or a failed
        // allocation: the rule cannot be applied, and nothing has been removed yet.
        return -1;
    }
}

namespace
{

// The rule's mask and skip patterns; an empty pattern stays an empty regex. False when one does
// not compile.
bool CompilePatterns(const CleanFilesRule& rule, boost::regex& mask, boost::regex& skip)
{
    try
    {
        if (!rule.regexp_mask.empty())
            mask.assign(rule.regexp_mask);
        if (!rule.regexp_skip.empty())
            skip.assign(rule.regexp_skip);
    }
    catch (const boost::regex_error&)
    {
        return false;
    }
    return true;
}

// The regular files below dir whose names pass the mask (none: all) and not the skip pattern,
// with their sizes and times; total is their size. False when the tree cannot be read.
bool ListFiles(const fs::path& dir, const boost::regex* pMask, const boost::regex* pSkip,
               std::vector<FileRec>& files, uint64_t& total)
{
    boost::system::error_code ec;
    fs::recursive_directory_iterator it(dir, ec);
    const fs::recursive_directory_iterator end;
    for (; !ec && it != end; it.increment(ec))
    {
        const fs::file_status s = it->symlink_status(ec);
        if (ec)
            return false;
        if (!fs::is_regular_file(s))
            continue;
        const std::string name = it->path().filename().string();
        if ((pMask != nullptr && !Matches(pMask, name)) || Matches(pSkip, name))
            continue;
        FileRec r;
        r.path = it->path();
        r.mtime = fs::last_write_time(r.path, ec);
        if (ec)
            return false;
        r.size = fs::file_size(r.path, ec);
        if (ec)
            return false;
        total += r.size;
        files.push_back(r);
    }
    return !ec;
}

// Removes the oldest files until both the count and the size are within the rule's limits (a
// negative limit: none); the number removed.
int RemoveOldestBeyondLimits(const CleanFilesRule& rule, std::vector<FileRec>& files, uint64_t total)
{
    std::sort(files.begin(), files.end(),
              [](const FileRec& a, const FileRec& b)
              { return a.mtime != b.mtime ? a.mtime < b.mtime : a.path < b.path; });

    const uint64_t maxSize = rule.max_size_mb < 0 ? UINT64_MAX : (uint64_t(rule.max_size_mb) << 20);
    const uint64_t maxCount = rule.max_cnt < 0 ? UINT64_MAX : uint64_t(rule.max_cnt);
    uint64_t count = files.size();
    uint64_t size = total;
    int removed = 0;
    for (const FileRec& f : files)
    {
        if (count <= maxCount && size <= maxSize)
            break;
        // A file that cannot be removed is passed over; newer files do not go in its place.
        --count;
        size -= f.size;
        boost::system::error_code rec;
        if (fs::remove(f.path, rec) && !rec)
            ++removed;
    }
    return removed;
}

int CleanFilesImpl(const CleanFilesRule& rule)
{
    boost::system::error_code ec;
    const fs::file_status st = fs::status(rule.path, ec);
    if (st.type() == fs::file_not_found)
        return 0;
    if (ec || !fs::is_directory(st))
        return -1;

    boost::regex mask;
    boost::regex skip;
    if (!CompilePatterns(rule, mask, skip))
        return -1;
    const boost::regex* pMask = rule.regexp_mask.empty() ? nullptr : &mask;
    const boost::regex* pSkip = rule.regexp_skip.empty() ? nullptr : &skip;

    std::vector<FileRec> files;
    uint64_t total = 0;
    if (!ListFiles(rule.path, pMask, pSkip, files, total))
        return -1;
    return RemoveOldestBeyondLimits(rule, files, total);
}

} // namespace

} // namespace AppUtils
