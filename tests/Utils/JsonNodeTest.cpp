#include <gtest/gtest.h>
#include <cstdint>
#include <set>
#include <string>
#include "Utils/JsonNode.h"

namespace
{

// The message of the Error that constructing a tree from text throws, or "" when it builds.
std::wstring BuildError(const std::wstring& text)
{
    try
    {
        Utils::JsonNode node(text);
    }
    catch (const Utils::JsonNode::Error& e)
    {
        return e.Message();
    }
    return std::wstring();
}

template <class F>
std::wstring ErrorOf(F f)
{
    try
    {
        f();
    }
    catch (const Utils::JsonNode::Error& e)
    {
        return e.Message();
    }
    return L"<no error>";
}

} // namespace

TEST(JsonNodeTest, EmptyRootsAndNonContainerRoot)
{
    Utils::JsonNode obj(L"{}");
    EXPECT_EQ(obj.Name(), L"_ROOT_");
    EXPECT_EQ(obj.ChildCount(), 0u);
    EXPECT_EQ(obj.ToJsonText(), L"{ }");
    EXPECT_EQ(Utils::JsonNode(L"[]").ToJsonText(), L"[ ]");

    const std::wstring notContainer =
        L"JSON data is incorrect: root element is not an object and is not an array.";
    EXPECT_EQ(BuildError(L"5"), notContainer);
    EXPECT_EQ(BuildError(L"\"s\""), notContainer);
    EXPECT_TRUE(Utils::JsonNode::IsValidJson(L"5"));
}

TEST(JsonNodeTest, TrailingTextAndComments)
{
    EXPECT_TRUE(Utils::JsonNode::IsValidJson(L"{\"a\":1} trailing"));
    Utils::JsonNode node(L"// head\n{ /* inner */ \"a\": 1 // tail\n} trailing");
    EXPECT_EQ(node[L"a"].AsInt(), 1);
    EXPECT_FALSE(Utils::JsonNode::IsValidJson(L""));
    EXPECT_FALSE(Utils::JsonNode::IsValidJson(L"{\"a\" 1}"));
}

TEST(JsonNodeTest, FormatErrorsCarryLineAndColumn)
{
    EXPECT_EQ(BuildError(L"{\n\"a\" 1}"),
              L"JSON format is incorrect: no colon in pair; Line = 2; Column = 5");
    // A tab moves to the next stop of 4; CR LF counts as one line end.
    EXPECT_EQ(BuildError(L"{\r\n\t\"a\" 1}"),
              L"JSON format is incorrect: no colon in pair; Line = 2; Column = 9");
    EXPECT_EQ(BuildError(L"{\r\"a\":1,\r\r  x}"),
              L"JSON format is incorrect: not a pair; Line = 4; Column = 3");
    EXPECT_EQ(BuildError(L""), L"JSON format is incorrect: error; Line = 1; Column = 1");
    EXPECT_EQ(BuildError(L"[1, }"), L"JSON format is incorrect: not a value; Line = 1; Column = 5");
}

TEST(JsonNodeTest, DeepNestingIsRejectedNotOverflowed)
{
    const int deep = 100000;
    const std::wstring hostile = std::wstring(deep, L'[') + std::wstring(deep, L']');
    const std::wstring err = BuildError(hostile);
    EXPECT_EQ(err.rfind(L"JSON format is incorrect: ", 0), 0u) << err;
    EXPECT_FALSE(Utils::JsonNode::IsValidJson(hostile));

    const int ok = Utils::JsonNode::c_maxDepth;
    Utils::JsonNode allowed(std::wstring(ok, L'[') + std::wstring(ok, L']'));
    EXPECT_EQ(allowed.ChildCount(), 1u);
}

TEST(JsonNodeTest, ArrayNamesAndPaths)
{
    Utils::JsonNode root(L"[1, [2, 3]]");
    ASSERT_EQ(root.ChildCount(), 2u);
    EXPECT_EQ(root.GetChildren()[0]->Name(), L"_ROOT_[0]");
    EXPECT_EQ(root.GetChildren()[1]->Name(), L"_ROOT_[1]");
    EXPECT_EQ(root[1][0].Name(), L"_ROOT_[1][0]");
    EXPECT_EQ(root[1][1].Name(), L"_ROOT_[1][1]");
    EXPECT_EQ(root[1][1].AsInt(), 3);

    Utils::JsonNode doc(L"{\"list\": [10, 11, 12], \"a\": {\"b\": {\"c\": \"deep\"}}, \"\": {\"e\": 1}}");
    EXPECT_EQ(doc[L"list.list[2]"].AsInt(), 12);
    EXPECT_EQ(doc[L"a.b.c"].AsString(), L"deep");
    EXPECT_EQ(doc.FindNode(L".e")->AsInt(), 1);
    EXPECT_FALSE(doc.FindNode(L"a.x"));
    EXPECT_FALSE(doc.FindNode(L"A"));
    EXPECT_FALSE(doc.FindNode(L"list[2]"));

    // A subtree outlives its tree.
    Utils::JsonNode::Ptr sub;
    {
        Utils::JsonNode tmp(L"{\"k\": {\"v\": [true]}}");
        sub = tmp.FindNode(L"k");
    }
    ASSERT_TRUE(sub);
    EXPECT_EQ((*sub)[L"v"][0].AsString(), L"true");
}

TEST(JsonNodeTest, MembersAndRepeatedKeys)
{
    Utils::JsonNode doc(L"{\"x\": 1, \"y\": 2, \"x\": 3}");
    EXPECT_EQ(doc.ChildCount(), 2u);
    EXPECT_EQ(doc[L"x"].AsInt(), 3);
    std::set<std::wstring> names;
    for (const auto& c : doc.GetChildren())
        names.insert(c->Name());
    EXPECT_EQ(names, (std::set<std::wstring>{L"x", L"y"}));
}

TEST(JsonNodeTest, LookupErrors)
{
    Utils::JsonNode doc(L"{\"a\": 1}");
    EXPECT_EQ(ErrorOf([&] { doc[L"x"]; }), L"Node \"x\" does not exist.\nParent node: { \"a\": 1 }");
    EXPECT_EQ(ErrorOf([&] { doc[0]; }), L"Node \"_ROOT_\" is not array.");
    Utils::JsonNode arr(L"[1, 2]");
    EXPECT_EQ(ErrorOf([&] { arr[2]; }), L"Bad index 2 for node \"_ROOT_\", size: 2");
}

TEST(JsonNodeTest, TypedReads)
{
    Utils::JsonNode doc(
        L"{\"neg\": -1, \"t\": true, \"f\": false, \"half\": 0.5, \"tenth\": 0.1, "
        L"\"max\": 18446744073709551615, \"s\": \"text\", \"o\": {}, \"n\": null, \"big\": 1e300}");
    EXPECT_EQ(doc[L"neg"].AsString(), L"-1");
    EXPECT_EQ(doc[L"neg"].AsInt(), -1);
    EXPECT_EQ(doc[L"neg"].AsUInt(), UINT64_MAX);
    EXPECT_EQ(doc[L"t"].AsString(), L"true");
    EXPECT_EQ(doc[L"f"].AsString(), L"false");
    EXPECT_EQ(doc[L"half"].AsString(), L"0.5");
    EXPECT_EQ(doc[L"tenth"].AsString(), L"0.10000000000000001");
    EXPECT_EQ(doc[L"max"].AsUInt(), UINT64_MAX);
    EXPECT_EQ(doc[L"max"].AsInt(), -1);
    EXPECT_EQ(doc[L"max"].AsString(), L"18446744073709551615");
    EXPECT_EQ(doc[L"s"].AsString(), L"text");

    const std::wstring prefix = L"Could not convert value of node '";
    EXPECT_EQ(ErrorOf([&] { doc[L"s"].AsInt(); }).rfind(prefix + L"s' to ", 0), 0u);
    EXPECT_EQ(ErrorOf([&] { doc[L"half"].AsUInt(); }).rfind(prefix + L"half' to ", 0), 0u);
    EXPECT_EQ(ErrorOf([&] { doc[L"o"].AsString(); }).rfind(prefix + L"o' to ", 0), 0u);
    EXPECT_EQ(ErrorOf([&] { doc[L"n"].AsString(); }).rfind(prefix + L"n' to ", 0), 0u);
    const std::wstring e = ErrorOf([&] { doc[L"s"].AsInt(); });
    EXPECT_EQ(e.substr(e.size() - 2), L".\n");
}

TEST(JsonNodeTest, ToJsonText)
{
    Utils::JsonNode doc(L"[\"a\\\\b\\r\\n\\t\\\"q\\b\\f\", null, 1.5, {\"k\": [true]}]");
    EXPECT_EQ(doc.ToJsonText(), L"[ \"a\\\\b\\r\\n\\t\\\"q\\b\\f\", null, 1.5, { \"k\": [ true ] } ]");
    EXPECT_EQ(doc[0].AsString(), L"a\\b\r\n\t\"q\b\f");
}

TEST(JsonNodeTest, WideText)
{
    Utils::JsonNode doc(L"{\"имя\": \"значение \\u00e9\"}");
    EXPECT_EQ(doc[L"имя"].AsString(), L"значение \u00e9");
}
