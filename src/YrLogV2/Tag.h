#pragma once
#include <string>

namespace YrLogV2
{

// A log level with a name. A record passes a node when its tag's level is at most the node's
// threshold, so lower levels are more important. Tags are small values, copied freely; their
// name texts live as long as the process.
class Tag
{
public:
    // The name is copied into a process-wide store (never freed), so any text may be given.
    Tag(int level, const std::string& name);

    // For names that are string literals: no copy, usable in constant initialisation, so a
    // tag made this way is ready before any static initialiser runs.
    static constexpr Tag Literal(int level, const char* name) { return Tag(level, name, LiteralName()); }

    constexpr int Level() const { return m_level; }
    constexpr const char* Name() const { return m_name; }

private:
    struct LiteralName
    {
    };
    constexpr Tag(int level, const char* name, LiteralName) : m_level(level), m_name(name) {}

    int m_level;
    const char* m_name;
};

// A tag made by user code (protocol packets, state machines), usually of a level above LogTrace
// so that it is shown only where a node's threshold is raised for it.
class UserTag : public Tag
{
public:
    UserTag(int level, const std::string& name) : Tag(level, name) {}
};

// Built-in tags.
inline constexpr Tag Important = Tag::Literal(1, "Important");
inline constexpr Tag Error = Tag::Literal(2, "Error");
inline constexpr Tag LogError = Tag::Literal(3, "LogError");
inline constexpr Tag LogTraceOnce = Tag::Literal(4, "LogTraceOnce");
inline constexpr Tag Warning = Tag::Literal(5, "Warning");
inline constexpr Tag LogInfo = Tag::Literal(6, "LogInfo");
inline constexpr Tag Info = Tag::Literal(7, "Info");
inline constexpr Tag LogTrace = Tag::Literal(8, "LogTrace");

// The threshold of every node until the configuration says otherwise.
const int c_defaultLevel = 7;

} // namespace YrLogV2
