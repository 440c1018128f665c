#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include <boost/shared_ptr.hpp>
#include <rapidjson/document.h>
#include "ESS/Exception.h"

namespace Utils
{

// A read-only tree of named JSON nodes built from wide text. The text is read up to the end
// of its first complete value; "//" and "/* */" comments are allowed.
class JsonNode
{
public:
    ESS_DECLARE_EXCEPTION(Error, ::ESS::Exception);

    typedef rapidjson::GenericValue<rapidjson::UTF32<wchar_t>> Value;
    typedef boost::shared_ptr<JsonNode> Ptr;
    typedef std::vector<Ptr> Children;

    // Deeper nesting is rejected as a format error, so hostile input cannot exhaust the stack.
    static const int c_maxDepth = 512;

    explicit JsonNode(const std::wstring& text);

    // True when a JSON value can be read at the start of the text; never throws.
    static bool IsValidJson(const std::wstring& text);

    // The node at a dotted path below this one ("a.b", "list.list[2]"), or empty.
    Ptr FindNode(const std::wstring& path) const;

    const JsonNode& operator[](const std::wstring& path) const;
    const JsonNode& operator[](uint64_t index) const;

    size_t ChildCount() const { return m_children.size(); }

    std::wstring AsString() const;
    int64_t AsInt() const;
    uint64_t AsUInt() const;

    std::wstring ToJsonText() const;

    const std::wstring& Name() const { return m_name; }
    const Children& GetChildren() const { return m_children; }

private:
    // The value lives in the document that the root's pointer owns; each node's pointer
    // shares that ownership, so a subtree outlives the tree it came from.
    JsonNode(const std::wstring& name, const boost::shared_ptr<const Value>& value);

    void BuildChildren();
    std::wstring ValueToString() const;
    [[noreturn]] void ThrowConvertError(const std::string& typeName, const ESS::CppLocation& location) const;

    std::wstring m_name;
    boost::shared_ptr<const Value> m_value;
    Children m_children;
};

} // namespace Utils
