#include "Utils/JsonNode.h"
#include <typeinfo>
#include <unordered_map>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <boost/make_shared.hpp>
#include "Platform/TypeName.h"
#include "Utils/LexicalCast.h"
#include "Utils/StringUtils.h"

namespace Utils
{

namespace
{

typedef rapidjson::UTF32<wchar_t> Enc;
typedef rapidjson::GenericDocument<Enc> Document;

const unsigned c_parseFlags = rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseCommentsFlag |
                              rapidjson::kParseFullPrecisionFlag | rapidjson::kParseIterativeFlag;

const std::wstring c_rootName = L"_ROOT_";

// Feeds the document and refuses nesting beyond the cap.
class CappedHandler
{
public:
    explicit CappedHandler(Document& doc) : m_doc(doc) {}

    bool Null() { return m_doc.Null(); }
    bool Bool(bool b) { return m_doc.Bool(b); }
    bool Int(int i) { return m_doc.Int(i); }
    bool Uint(unsigned u) { return m_doc.Uint(u); }
    bool Int64(int64_t i) { return m_doc.Int64(i); }
    bool Uint64(uint64_t u) { return m_doc.Uint64(u); }
    bool Double(double d) { return m_doc.Double(d); }
    bool RawNumber(const wchar_t* s, rapidjson::SizeType len, bool copy)
    {
        return m_doc.RawNumber(s, len, copy);
    }
    bool String(const wchar_t* s, rapidjson::SizeType len, bool copy) { return m_doc.String(s, len, copy); }
    bool Key(const wchar_t* s, rapidjson::SizeType len, bool copy) { return m_doc.Key(s, len, copy); }
    bool StartObject() { return Enter() && m_doc.StartObject(); }
    bool EndObject(rapidjson::SizeType n)
    {
        --m_depth;
        return m_doc.EndObject(n);
    }
    bool StartArray() { return Enter() && m_doc.StartArray(); }
    bool EndArray(rapidjson::SizeType n)
    {
        --m_depth;
        return m_doc.EndArray(n);
    }

    bool TooDeep() const { return m_tooDeep; }

private:
    bool Enter()
    {
        if (++m_depth > JsonNode::c_maxDepth)
        {
            m_tooDeep = true;
            return false;
        }
        return true;
    }

    Document& m_doc;
    int m_depth = 0;
    bool m_tooDeep = false;
};

struct ParseOutcome
{
    rapidjson::ParseResult result;
    bool tooDeep = false;
};

ParseOutcome ParseText(const std::wstring& text, Document& doc)
{
    ParseOutcome out;
    auto generator = [&text, &out](Document& d)
    {
        CappedHandler handler(d);
        rapidjson::GenericStringStream<Enc> stream(text.c_str());
        rapidjson::GenericReader<Enc, Enc> reader;
        out.result = reader.Parse<c_parseFlags>(stream, handler);
        out.tooDeep = handler.TooDeep();
        return !out.result.IsError();
    };
    doc.Populate(generator);
    return out;
}

// Reasons worded as the readers of these settings have always seen them.
std::string Reason(const ParseOutcome& out)
{
    if (out.tooDeep)
        return "nesting deeper than " + std::to_string(JsonNode::c_maxDepth) + " levels";
    switch (out.result.Code())
    {
    case rapidjson::kParseErrorDocumentEmpty:
        return "error";
    case rapidjson::kParseErrorValueInvalid:
    case rapidjson::kParseErrorNumberTooBig:
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
        return "not a value";
    case rapidjson::kParseErrorObjectMissName:
        return "not a pair";
    case rapidjson::kParseErrorObjectMissColon:
        return "no colon in pair";
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
        return "not an object";
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
        return "not an array";
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
    case rapidjson::kParseErrorStringEscapeInvalid:
    case rapidjson::kParseErrorStringMissQuotationMark:
    case rapidjson::kParseErrorStringInvalidEncoding:
        return "not a string";
    default:
        return rapidjson::GetParseError_En(out.result.Code());
    }
}

// Line and column from 1 at a code-unit offset; a tab moves to the next stop of 4; CR, LF
// and CR LF each end a line.
void LineAndColumn(const std::wstring& text, size_t offset, int& line, int& column)
{
    line = 1;
    column = 1;
    const size_t end = std::min(offset, text.size());
    for (size_t i = 0; i < end; ++i)
    {
        const wchar_t c = text[i];
        if (c == L'\r')
        {
            if (i + 1 < end && text[i + 1] == L'\n')
                ++i;
            ++line;
            column = 1;
        }
        else if (c == L'\n')
        {
            ++line;
            column = 1;
        }
        else if (c == L'\t')
        {
            column += 4 - (column - 1) % 4;
        }
        else
        {
            ++column;
        }
    }
}

std::string Utf8(const std::wstring& s)
{
    return WStringToStdString(s);
}

std::wstring Message(const std::string& text)
{
    return LocaleStringToUnicode(text);
}

std::wstring Escape(const std::wstring& s)
{
    std::wstring out;
    out.reserve(s.size() + 2);
    for (wchar_t c : s)
    {
        switch (c)
        {
        case L'\\':
            out += L"\\\\";
            break;
        case L'\r':
            out += L"\\r";
            break;
        case L'\n':
            out += L"\\n";
            break;
        case L'\t':
            out += L"\\t";
            break;
        case L'"':
            out += L"\\\"";
            break;
        case L'\b':
            out += L"\\b";
            break;
        case L'\f':
            out += L"\\f";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

JsonNode::JsonNode(const std::wstring& text) : m_name(c_rootName)
{
    auto doc = boost::make_shared<Document>();
    ParseOutcome out;
    try
    {
        out = ParseText(text, *doc);
    }
    catch (const std::exception& e)
    {
        ESS_THROW_MSG(Error, Message(std::string("JSON format is incorrect: ") + e.what()));
    }

    if (out.result.IsError())
    {
        int line = 0, column = 0;
        LineAndColumn(text, out.result.Offset(), line, column);
        ESS_THROW_MSG(Error, Message("JSON format is incorrect: " + Reason(out) + "; Line = " +
                                     std::to_string(line) + "; Column = " + std::to_string(column)));
    }

    if (!doc->IsObject() && !doc->IsArray())
        ESS_THROW_MSG(Error,
                      Message("JSON data is incorrect: root element is not an object and is not an array."));

    m_value = boost::shared_ptr<const Value>(doc, static_cast<const Value*>(doc.get()));
    BuildChildren();
}

JsonNode::JsonNode(const std::wstring& name, const boost::shared_ptr<const Value>& value)
    : m_name(name), m_value(value)
{
    BuildChildren();
}

bool JsonNode::IsValidJson(const std::wstring& text)
{
    try
    {
        Document doc;
        return !ParseText(text, doc).result.IsError();
    }
    catch (...)
    {
        return false;
    }
}

void JsonNode::BuildChildren()
{
    const Value& v = *m_value;
    if (v.IsObject())
    {
        // A repeated key keeps its last value, as a map of members would.
        std::unordered_map<std::wstring, rapidjson::SizeType> last;
        rapidjson::SizeType i = 0;
        for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it, ++i)
            last[std::wstring(it->name.GetString(), it->name.GetStringLength())] = i;

        m_children.reserve(last.size());
        i = 0;
        for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it, ++i)
        {
            std::wstring key(it->name.GetString(), it->name.GetStringLength());
            if (last[key] != i)
                continue;
            m_children.push_back(Ptr(new JsonNode(key, boost::shared_ptr<const Value>(m_value, &it->value))));
        }
    }
    else if (v.IsArray())
    {
        m_children.reserve(v.Size());
        for (rapidjson::SizeType i = 0; i < v.Size(); ++i)
        {
            const std::wstring name = m_name + L"[" + std::to_wstring(i) + L"]";
            m_children.push_back(Ptr(new JsonNode(name, boost::shared_ptr<const Value>(m_value, &v[i]))));
        }
    }
}

JsonNode::Ptr JsonNode::FindNode(const std::wstring& path) const
{
    const size_t dot = path.find(L'.');
    const std::wstring head = (dot == std::wstring::npos) ? path : path.substr(0, dot);

    for (const Ptr& child : m_children)
    {
        if (child->m_name != head)
            continue;
        if (dot == std::wstring::npos)
            return child;
        return child->FindNode(path.substr(dot + 1));
    }
    return Ptr();
}

const JsonNode& JsonNode::operator[](const std::wstring& path) const
{
    const Ptr node = FindNode(path);
    if (!node)
    {
        ESS_THROW_MSG(Error, Message("Node \"" + Utf8(path) +
                                     "\" does not exist.\nParent node: " + Utf8(ToJsonText())));
    }
    // The child is owned by this tree, which the caller holds.
    return *node;
}

const JsonNode& JsonNode::operator[](uint64_t index) const
{
    if (!m_value->IsArray())
        ESS_THROW_MSG(Error, Message("Node \"" + Utf8(m_name) + "\" is not array."));
    if (index >= m_children.size())
    {
        ESS_THROW_MSG(Error, Message("Bad index " + std::to_string(index) + " for node \"" + Utf8(m_name) +
                                     "\", size: " + std::to_string(m_children.size())));
    }
    return *m_children[index];
}

void JsonNode::ThrowConvertError(const std::string& typeName, const ESS::CppLocation& location) const
{
    ESS::Throw(Error(Message("Could not convert value of node '" + Utf8(m_name) + "' to " + typeName + ".\n"),
                     location));
}

int64_t JsonNode::AsInt() const
{
    if (m_value->IsInt64())
        return m_value->GetInt64();
    if (m_value->IsUint64())
        return static_cast<int64_t>(m_value->GetUint64());
    ThrowConvertError(Platform::RawTypeName(typeid(int64_t)), ESS_LOCATION);
}

uint64_t JsonNode::AsUInt() const
{
    if (m_value->IsUint64())
        return m_value->GetUint64();
    if (m_value->IsInt64())
        return static_cast<uint64_t>(m_value->GetInt64());
    ThrowConvertError(Platform::RawTypeName(typeid(uint64_t)), ESS_LOCATION);
}

std::wstring JsonNode::AsString() const
{
    return ValueToString();
}

std::wstring JsonNode::ValueToString() const
{
    const Value& v = *m_value;
    if (v.IsString())
        return std::wstring(v.GetString(), v.GetStringLength());
    if (v.IsBool())
        return v.GetBool() ? L"true" : L"false";
    if (v.IsInt64())
        return std::to_wstring(v.GetInt64());
    if (v.IsUint64())
        return std::to_wstring(v.GetUint64());
    if (v.IsDouble())
        return LexicalCastImpl<std::wstring, double>(v.GetDouble());
    ThrowConvertError(Platform::RawTypeName(typeid(std::wstring)), ESS_LOCATION);
}

std::wstring JsonNode::ToJsonText() const
{
    const Value& v = *m_value;
    if (v.IsObject() || v.IsArray())
    {
        const bool isObject = v.IsObject();
        if (m_children.empty())
            return isObject ? L"{ }" : L"[ ]";
        std::wstring out = isObject ? L"{ " : L"[ ";
        for (const Ptr& child : m_children)
        {
            if (isObject)
                out += L"\"" + child->m_name + L"\": ";
            out += child->ToJsonText() + L", ";
        }
        out.resize(out.size() - 2);
        out += isObject ? L" }" : L" ]";
        return out;
    }
    if (v.IsString())
        return L"\"" + Escape(std::wstring(v.GetString(), v.GetStringLength())) + L"\"";
    if (v.IsNull())
        return L"null";
    return ValueToString();
}

} // namespace Utils
