#pragma once
#include <string>
#include <boost/filesystem/path.hpp>

namespace AppUtils
{

// What CleanFiles keeps of a folder.
struct CleanFilesRule
{
    boost::filesystem::path path;
    int max_cnt = 0;         // most files kept; negative: no limit
    int max_size_mb = 0;     // most MiB kept in all; negative: no limit
    std::string regexp_mask; // file names taken into account (whole name); empty: all
    std::string regexp_skip; // file names never touched (whole name); empty: none
};

// Removes the oldest regular files (by modification time) below rule.path, sub-folders included,
// until at most max_cnt files of at most max_size_mb MiB in all are left. Symbolic links are
// neither followed nor removed. Returns the number of files removed: 0 for a missing folder, -1 when
// the folder cannot be read or a pattern is invalid. A file that cannot be removed is skipped: it is
// not counted as removed, and no newer file is removed in its place.
int CleanFiles(const CleanFilesRule& rule);

} // namespace AppUtils

using AppUtils::CleanFiles;
