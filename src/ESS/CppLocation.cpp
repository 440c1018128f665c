#include "ESS/CppLocation.h"

#include <cstring>

namespace ESS
{

namespace
{

bool StartsWith(const std::string& s, const std::string& prefix)
{
    return !prefix.empty() && s.compare(0, prefix.size(), prefix) == 0;
}

// The part of a path below the source tree: the configured source root when the path lies
// inside it, else the part after the last "src/" folder, else the part below the project root.
std::string StripSourceRoot(const std::string& path)
{
#ifdef YR_SOURCE_ROOT
    const std::string root = YR_SOURCE_ROOT; // ends with "src/"
    if (StartsWith(path, root))
        return path.substr(root.size());
    const std::string srcDir = "src/";
    if (root.size() > srcDir.size() && root.compare(root.size() - srcDir.size(), srcDir.size(), srcDir) == 0)
    {
        const std::string projectRoot = root.substr(0, root.size() - srcDir.size());
        if (StartsWith(path, projectRoot))
            return path.substr(projectRoot.size());
    }
#endif
    if (StartsWith(path, "src/"))
        return path.substr(4);
    const std::string::size_type pos = path.rfind("/src/");
    if (pos != std::string::npos)
        return path.substr(pos + 5);
    return path;
}

} // namespace

std::string SourceFileText(const char* file)
{
    if (file == nullptr)
        return std::string();
    std::string res = StripSourceRoot(file);
    const std::string::size_type slash = res.find_last_of("/\\");
    const std::string::size_type dot = res.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        res.erase(dot);
    return res;
}

std::string CppLocation::ToString() const
{
    if (file == nullptr)
        return std::string();
    std::string res = SourceFileText(file);
    res += ':';
    res += std::to_string(line);
    res += " in ";
    if (function != nullptr)
        res += function;
    return res;
}

} // namespace ESS
