// Tests of the JSON tree: type detection, the reader's shapes, the writer's exact text, and node operations.
#include "CJson.h"

#include <gtest/gtest.h>

#include "CodePageSupport.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

using Tree = std::unique_ptr<CJson>;

Tree Parse(const std::string& text) { return Tree(CJson::Parse(Widen(text))); }

TEST(CJsonTypeDetection, SetValueTable) {
    struct Case {
        const char* desc;
        const char16_t* text;
        const char16_t* type;
        const char16_t* value;
    };
    const Case cases[] = {
        {"empty text", u"", u"string", u""},
        {"plain word", u"abc", u"string", u"abc"},
        {"positive integer", u"42", u"long", u"42"},
        {"ten digits", u"2147483648", u"long", u"2147483648"},
        {"eleven digits", u"12345678901", u"string", u"12345678901"},
        {"zero is text", u"0", u"string", u"0"},
        {"leading zero", u"05", u"string", u"05"},
        {"negative is text", u"-5", u"string", u"-5"},
        {"leading-zero decimal is text", u"0.5", u"string", u"0.5"},
        {"decimal", u"1.5", u"double", u"1.5"},
        {"bare fraction", u".5", u"double", u".5"},
        {"two dots", u"1.2.3", u"string", u"1.2.3"},
        {"exponent is text", u"1e5", u"string", u"1e5"},
        {"true keeps case", u"TRUE", u"bool", u"TRUE"},
        {"false", u"false", u"bool", u"false"},
        {"quoted text loses quotes", u"\"x\"", u"string", u"x"},
        {"quoted number stays text", u"\"5\"", u"string", u"5"},
        {"single quote char", u"\"", u"string", u""},
        {"braced text is a list", u"{x}", u"list", u"{x}"},
        {"bracketed text is an array", u"[1,2]", u"array", u"[1,2]"},
    };
    for (const auto& c : cases) {
        CJson node;
        node.SetValue(c.text);
        EXPECT_EQ(node.GetType(), c.type) << c.desc;
        EXPECT_EQ(node.GetValue(), c.value) << c.desc;
    }
}

TEST(CJsonTypeDetection, ConstructorKeyAndSetLong) {
    CJson node(u"k", u"7");
    EXPECT_EQ(node.GetKey(), u"k");
    EXPECT_EQ(node.GetType(), u"long");
    node.SetLong(-3);
    EXPECT_EQ(node.GetType(), u"long");
    EXPECT_EQ(node.GetValue(), u"-3");
    EXPECT_EQ(CJson().GetType(), u"string");
}

// Texts that the writer must give back exactly as the phone app expects them.
TEST(CJsonWriter, ParseThenToStringTable) {
    struct Case {
        const char* desc;
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"object of number and text", R"({"a":1,"b":"x"})", R"({"a":1,"b":"x"})"},
        {"one member", R"({"a":1})", R"({"a":1})"},
        {"quoted number becomes a number", R"({"a":"5"})", R"({"a":5})"},
        {"array member", R"({"k":[1,2,3]})", R"({"k":[1,2,3]})"},
        {"object member of two", R"({"k":{"a":1,"b":2}})", R"({"k":[{"a":1,"b":2}]})"},
        {"object member of one", R"({"k":{"a":1}})", R"({"k":{"a":1}})"},
        {"empty array member", R"({"k":[]})", R"({"k":[""]})"},
        {"empty object member", R"({"k":{}})", R"({"k":[""]})"},
        {"two-element array", "[1,2]", "[1,2]"},
        {"three-element array", "[1,2,3]", "{[1,2,3]}"},
        {"array of objects", R"({"k":[{"a":1},{"a":2}]})", R"({"k":[{"a":1},{"a":2}]})"},
        {"bool is written as text", R"({"b":true,"d":1.5})", R"({"b":"true","d":1.5})"},
        {"request array", R"([{"Sign":"17","Command":"getring"}])", R"([{"Sign":17,"Command":"getring"}])"},
        {"escaped quote round trip", R"({"a":"x\"y"})", R"({"a":"x\"y"})"},
        {"escaped backslash round trip", R"({"a":"x\\y"})", R"({"a":"x\\y"})"},
        {"escaped quote at the end round trip", R"({"a":"say \"hi\""})", R"({"a":"say \"hi\""})"},
        {"white space around the text", " \n{\"a\":1}\t ", R"({"a":1})"},
    };
    for (const auto& c : cases) {
        Tree t = Parse(c.in);
        EXPECT_EQ(Narrow(t->ToString()), c.out) << c.desc;
    }
}

TEST(CJsonReader, ObjectShape) {
    Tree t = Parse(R"({"a":1,"b":"x"})");
    EXPECT_EQ(t->GetKey(), u"");
    EXPECT_EQ(t->GetType(), u"list");
    ASSERT_EQ(t->GetChildCount(), 2);
    EXPECT_EQ(t->GetChild(0)->GetKey(), u"a");
    EXPECT_EQ(t->GetChild(0)->GetValue(), u"1");
    EXPECT_EQ(t->GetChild(0)->GetType(), u"long");
    EXPECT_EQ(t->GetChild(1)->GetValue(), u"x");
    EXPECT_EQ(t->GetChild(1)->GetType(), u"string");
    EXPECT_EQ(t->GetChild(1)->GetParent(), t.get());
}

TEST(CJsonReader, ArrayMemberHoldsElementsDirectly) {
    Tree t = Parse(R"({"k":[1,2,3]})");
    CJson* k = t->FindChild(u"k", u"");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->GetType(), u"array");
    ASSERT_EQ(k->GetChildCount(), 3);
    EXPECT_EQ(k->GetChild(2)->GetValue(), u"3");
}

TEST(CJsonReader, ThreeElementArrayIsWrapped) {
    Tree t = Parse("[1,2,3]");
    EXPECT_EQ(t->GetType(), u"list");
    ASSERT_EQ(t->GetChildCount(), 1);
    EXPECT_EQ(t->GetChild(0)->GetType(), u"array");
    EXPECT_EQ(t->GetChild(0)->GetChildCount(), 3);

    Tree two = Parse("[1,2]");
    EXPECT_EQ(two->GetType(), u"array");
    EXPECT_EQ(two->GetChildCount(), 2);
}

TEST(CJsonReader, SpaceAfterColonIsKept) {
    Tree t = Parse(R"({"a": "b"})");
    CJson* a = t->FindChild(u"a", u"");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetValue(), u" \"b");
}

TEST(CJsonReader, EscapesInValuesAreUndone) {
    Tree t = Parse(R"({"p":"C:\\dir\\f","q":"say \"hi\""})");
    EXPECT_EQ(t->FindChild(u"p", u"")->GetValue(), u"C:\\dir\\f");
    EXPECT_EQ(t->FindChild(u"q", u"")->GetValue(), u"say \"hi\"");
}

TEST(CJsonReader, BareScalarGetsARoot) {
    Tree t = Parse("abc");
    ASSERT_EQ(t->GetChildCount(), 1);
    EXPECT_EQ(t->GetChild(0)->GetValue(), u"abc");
    Tree keyed = Parse(R"("a":1)");
    ASSERT_EQ(keyed->GetChildCount(), 1);
    EXPECT_EQ(keyed->GetChild(0)->GetKey(), u"a");
}

// Whatever the text, Parse gives a tree that can be written and deleted.
TEST(CJsonReader, MalformedTextsGiveATree) {
    const char* texts[] = {
        "",         "{",           "}",           "[",  "]]]", "{{{{",
        "{\"a\":",  ":",           ",,,",         "\"", "\\",  "{\"a\":[1,{\"b\":}",
        "[[[[[[]]", "{\"a\":1}}}", "\"\"\"\":::", "{]", "[}",
    };
    for (const char* text : texts) {
        Tree t = Parse(text);
        ASSERT_NE(t, nullptr) << text;
        (void)t->ToString();
    }
}

TEST(CJsonReader, DeepNestingIsBounded) {
    SKIP_DEEP_TREES_UNDER_TSAN();
    std::string deep(5000, '[');
    deep += std::string(5000, ']');
    Tree t = Parse(deep);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->ToString().empty());
}

TEST(CJsonWriter, IntegerFormsOfAddChild) {
    struct Case {
        const char* desc;
        int32_t value;
        const char* out;
    };
    const Case cases[] = {
        {"one is a number", 1, R"({"state":1})"},
        {"zero is written as text", 0, R"({"state":"0"})"},
        {"negative is written as text", -7, R"({"state":"-7"})"},
    };
    for (const auto& c : cases) {
        CJson root;
        root.AddChild(u"state", c.value);
        EXPECT_EQ(Narrow(root.ToString()), c.out) << c.desc;
    }
    CJson root;
    root.AddChild(u"state", 0)->SetLong(0);
    EXPECT_EQ(Narrow(root.ToString()), R"({"state":0})");
    CJson unsignedRoot;
    unsignedRoot.AddChild(u"n", static_cast<uint32_t>(4294967295u));
    EXPECT_EQ(Narrow(unsignedRoot.ToString()), R"({"n":4294967295})");
}

TEST(CJsonWriter, KeyedEmptyArrayWritesEmptyString) {
    CJson root;
    auto* k = new CJson();
    k->SetKey(u"k");
    k->AddChild(new CJson());  // makes k an "array"
    k->RemoveChild(k->GetChild(0));
    EXPECT_EQ(k->GetType(), u"array");
    root.AddChild(k);
    EXPECT_EQ(Narrow(root.ToString()), R"({"k":""})");
}

TEST(CJsonWriter, ValueWithQuoteColonIsBraced) {
    CJson root;
    root.AddChild(u"a", u"x\":y");
    EXPECT_EQ(Narrow(root.ToString()), R"({"a":{x\":y}})");
}

TEST(CJsonWriter, ResponseObjectAsThePhoneAppReadsIt) {
    CJson response;
    response.AddChild(u"Sign", u"1688");
    response.AddChild(u"Command", u"addring");
    response.AddChild(u"Code", 1);
    response.AddChild(u"Message", u"\u5904\u7406\u6210\u529f");
    EXPECT_EQ(response.ToString(),
              u"{\"Sign\":1688,\"Command\":\"addring\",\"Code\":1,\"Message\":\"\u5904\u7406\u6210\u529f\"}");
}

TEST(CJsonWriter, KeylessStringUnderListGetsEmptyKey) {
    CJson root;
    root.AddChild(u"a", u"1");
    root.AddChild(new CJson(u"", u"x"));
    EXPECT_EQ(Narrow(root.ToString()), R"({"a":1,"":"x"})");
}

TEST(CJsonMask, MaskAndUnmask) {
    const std::u16string text = u"x,{a:b,c}";
    const std::u16string masked = CJson::Mask(text);
    EXPECT_EQ(masked, u"x,{at%3Am%3Apbt%2Cm%2Cpc}");
    EXPECT_EQ(CJson::Mask(masked), text);
    EXPECT_EQ(CJson::Mask(u"a,[b,{c:d}],e"), u"a,[bt%2Cm%2Cp{ct%3Am%3Apd}],e");
    EXPECT_EQ(CJson::Mask(u"a:{b,c"), u"a:{b,c") << "an unclosed group is left as it is";
    EXPECT_EQ(CJson::Mask(u"no groups: a,b"), u"no groups: a,b");
}

TEST(CJsonCheck, CheckJsonTable) {
    struct Case {
        const char* desc;
        const char16_t* text;
        bool expected;
    };
    const Case cases[] = {
        {"brace inside a string", u"{\"a\":\"}\"}", true},
        {"plain word", u"abc", false},
        {"unclosed array", u"[1,2", false},
        {"empty text", u"", false},
        {"array", u"[1]", true},
        {"unbalanced braces", u"{{}", false},
        {"balanced but inverted order still counts", u"}{", true},
        {"request file", u"[{\"Sign\":\"1\",\"Command\":\"getring\"}]", true},
    };
    for (const auto& c : cases) EXPECT_EQ(CJson::CheckJson(c.text), c.expected) << c.desc;
}

TEST(CJsonNode, GetChildBounds) {
    CJson root;
    root.AddChild(u"a", u"1");
    EXPECT_EQ(root.GetChild(-1), nullptr);
    EXPECT_EQ(root.GetChild(1), nullptr);
    EXPECT_NE(root.GetChild(0), nullptr);
}

TEST(CJsonNode, AddChildSetsTypeName) {
    CJson array;
    array.AddChild(new CJson(u"", u"x"));
    EXPECT_EQ(array.GetType(), u"array");

    CJson list;
    list.AddChild(new CJson(u"k", u"x"));
    EXPECT_EQ(list.GetType(), u"list");

    CJson keepsType;
    keepsType.SetLong(5);
    keepsType.AddChild(new CJson(u"k", u"x"));
    EXPECT_EQ(keepsType.GetType(), u"long") << "node form changes only a string node";

    CJson keyValue;
    keyValue.AddChild(u"", u"x");
    EXPECT_EQ(keyValue.GetType(), u"array");
    keyValue.AddChild(u"k", u"y");
    EXPECT_EQ(keyValue.GetType(), u"list") << "key-value forms always set the type";

    CJson nullChild;
    EXPECT_EQ(nullChild.AddChild(nullptr), nullptr);
    EXPECT_EQ(nullChild.GetType(), u"string");
    EXPECT_EQ(nullChild.GetChildCount(), 0);
}

TEST(CJsonNode, ClearLeavesEmptyTypeName) {
    CJson node(u"k", u"5");
    node.AddChild(u"a", u"1");
    node.SetData(new uint8_t[3]{1, 2, 3}, 3);
    node.Clear();
    EXPECT_EQ(node.GetType(), u"");
    EXPECT_EQ(node.GetKey(), u"");
    EXPECT_EQ(node.GetChildCount(), 0);
    EXPECT_EQ(node.GetData(), nullptr);
    node.AddChild(new CJson(u"", u"x"));
    EXPECT_EQ(node.GetType(), u"") << "a cleared node keeps its empty type under the node form";
}

TEST(CJsonNode, FindChildAndFindNode) {
    Tree t = Parse(R"({"a":1,"b":{"c":"x","a":2}})");
    EXPECT_EQ(t->FindChild(u"", u""), nullptr);
    EXPECT_EQ(t->FindChild(u"a", u"")->GetValue(), u"1");
    EXPECT_EQ(t->FindChild(u"c", u""), nullptr) << "only direct children";
    EXPECT_EQ(t->FindChild(u"", u"1")->GetKey(), u"a");
    EXPECT_EQ(t->FindChild(u"a", u"2"), nullptr);

    CJson* c = t->FindNode(u"c", u"");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetValue(), u"x");
    EXPECT_EQ(t->FindNode(u"a", u"2")->GetValue(), u"2");
    EXPECT_EQ(t->FindNode(u"a", u"")->GetValue(), u"1") << "pre-order: the first match wins";
    EXPECT_EQ(t->FindNode(u"c", u"", true), nullptr) << "self only";
    EXPECT_EQ(t->FindNode(u"A", u""), nullptr) << "case-sensitive";
}

TEST(CJsonNode, RemoveChild) {
    CJson root;
    CJson* a = root.AddChild(u"a", u"1");
    root.AddChild(u"b", u"2");
    root.RemoveChild(a);
    ASSERT_EQ(root.GetChildCount(), 1);
    EXPECT_EQ(root.GetChild(0)->GetKey(), u"b");
    root.RemoveChild(nullptr);

    CJson other;
    CJson* foreign = other.AddChild(u"c", u"3");
    root.RemoveChild(foreign);
    EXPECT_EQ(other.GetChildCount(), 1) << "a node of another parent is not ours to delete";
    EXPECT_EQ(root.GetChildCount(), 1);
}

TEST(CJsonNode, CloneIsDeepAndDetached) {
    Tree t = Parse(R"({"a":1,"k":{"b":"x","c":"y"}})");
    t->GetChild(0)->SetData(new uint8_t[2]{'h', 'i'}, 2);
    auto* text = new uint8_t[4]{'a', 'b', 'c', 0};
    t->GetChild(1)->SetData(text, 4);

    Tree copy(t->Clone());
    EXPECT_EQ(copy->GetParent(), nullptr);
    EXPECT_EQ(copy->ToString(), t->ToString());
    EXPECT_EQ(copy->GetType(), t->GetType());
    ASSERT_EQ(copy->GetChild(0)->GetDataLength(), 2);
    EXPECT_NE(copy->GetChild(0)->GetData(), t->GetChild(0)->GetData());
    EXPECT_EQ(copy->GetChild(0)->GetData()[1], 'i');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy->GetChild(1)->GetData())), "abc");
    EXPECT_EQ(copy->GetChild(1)->GetDataLength(), 4);
    EXPECT_EQ(copy->GetChild(1)->GetParent(), copy.get());

    t->GetChild(0)->SetValue(u"changed");
    EXPECT_EQ(copy->GetChild(0)->GetValue(), u"1");
}

// A block recorded without a positive length has no known size, so a copy cannot take its
// bytes and holds no block. The source block is exactly three bytes with no terminator: reading
// it as text would run past its end, which AddressSanitizer reports.
TEST(CJsonNode, CloneOfABlockWithoutLengthReadsNothing) {
    for (const int32_t length : {0, -1, -30}) {
        CJson node(u"k", u"v");
        node.SetData(new uint8_t[3]{'a', 'b', 'c'}, length);
        node.AddChild(u"child", u"1")->SetData(new uint8_t[2]{'x', 'y'}, length);

        std::unique_ptr<CJson> copy(node.Clone());
        EXPECT_EQ(copy->GetData(), nullptr) << length;
        EXPECT_EQ(copy->GetDataLength(), 0) << length;
        ASSERT_EQ(copy->GetChildCount(), 1) << length;
        EXPECT_EQ(copy->GetChild(0)->GetData(), nullptr) << length;
        EXPECT_EQ(copy->GetChild(0)->GetDataLength(), 0) << length;
        EXPECT_EQ(copy->ToString(), node.ToString()) << length;

        // The source keeps its block as it was given.
        EXPECT_EQ(node.GetDataLength(), length);
        ASSERT_NE(node.GetData(), nullptr);
        EXPECT_EQ(node.GetData()[2], 'c');
    }
}

// Two small trees: root holds a, a holds b; other holds x.
struct TwoTrees {
    std::unique_ptr<CJson> root = std::make_unique<CJson>();
    std::unique_ptr<CJson> other = std::make_unique<CJson>();
    CJson* a = root->AddChild(u"a", u"");
    CJson* b = a->AddChild(u"b", u"1");
    CJson* x = other->AddChild(u"x", u"2");
};

// A node that already belongs to a tree cannot be attached again: two owners would both delete
// it, and a node under itself or its own descendant would never finish deleting.
TEST(CJsonNode, AddChildRefusesANodeAlreadyInATree) {
    struct Case {
        const char* desc;
        CJson* (*target)(TwoTrees&);
        CJson* (*node)(TwoTrees&);
    };
    const Case cases[] = {
        {"child of another tree", [](TwoTrees& t) { return t.root.get(); }, [](TwoTrees& t) { return t.x; }},
        {"child already here", [](TwoTrees& t) { return t.root.get(); }, [](TwoTrees& t) { return t.a; }},
        {"grandchild moved up", [](TwoTrees& t) { return t.root.get(); }, [](TwoTrees& t) { return t.b; }},
        {"child under itself", [](TwoTrees& t) { return t.a; }, [](TwoTrees& t) { return t.a; }},
        {"root under itself", [](TwoTrees& t) { return t.root.get(); }, [](TwoTrees& t) { return t.root.get(); }},
        {"root under its child", [](TwoTrees& t) { return t.a; }, [](TwoTrees& t) { return t.root.get(); }},
        {"root under its grandchild", [](TwoTrees& t) { return t.b; }, [](TwoTrees& t) { return t.root.get(); }},
    };
    for (const Case& c : cases) {
        TwoTrees t;
        CJson* target = c.target(t);
        CJson* node = c.node(t);
        const std::u16string rootBefore = t.root->ToString();
        const std::u16string otherBefore = t.other->ToString();
        CJson* const parentBefore = node->GetParent();
        const std::u16string targetType = target->GetType();

        EXPECT_EQ(target->AddChild(node), nullptr) << c.desc;
        EXPECT_EQ(node->GetParent(), parentBefore) << c.desc;
        EXPECT_EQ(target->GetType(), targetType) << c.desc;
        EXPECT_EQ(t.root->ToString(), rootBefore) << c.desc;
        EXPECT_EQ(t.other->ToString(), otherBefore) << c.desc;
        // Both trees are deleted here; a node held twice would be deleted twice.
    }

    // A node that was refused can still go to a tree once it is free.
    TwoTrees t;
    auto* free = new CJson(u"f", u"3");
    EXPECT_EQ(t.root->AddChild(free), free);
    EXPECT_EQ(free->GetParent(), t.root.get());
    EXPECT_EQ(t.other->AddChild(free), nullptr);
    EXPECT_EQ(t.root->GetChildCount(), 2);
}

// Released children leave their parent in order and free to be attached elsewhere, whole.
TEST(CJsonNode, ReleaseChildrenHandsThemOver) {
    Tree from = Parse(R"({"a":1,"k":{"b":"x","c":"y"}})");
    const std::u16string type = from->GetType();
    std::vector<CJson*> released = from->ReleaseChildren();
    EXPECT_EQ(from->GetChildCount(), 0);
    EXPECT_EQ(from->GetType(), type);
    ASSERT_EQ(released.size(), 2u);
    EXPECT_EQ(released[0]->GetKey(), u"a");
    EXPECT_EQ(released[1]->GetKey(), u"k");

    CJson to;
    for (CJson* child : released) {
        EXPECT_EQ(child->GetParent(), nullptr);
        EXPECT_EQ(to.AddChild(child), child);
        EXPECT_EQ(child->GetParent(), &to);
    }
    EXPECT_EQ(Narrow(to.ToString()), R"({"a":1,"k":[{"b":"x","c":"y"}]})");
    EXPECT_EQ(from->ReleaseChildren().size(), 0u);
}

// Readers on several threads walk a shared tree while it is not being changed; run under
// ThreadSanitizer this shows that the walks take the node locks consistently.
TEST(CJsonNode, ConcurrentWalks) {
    Tree t = Parse(R"({"a":1,"b":{"c":"x","d":[1,2]},"e":"y"})");
    const std::u16string expected = t->ToString();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 200; ++n) {
                if (t->ToString() != expected) ++mismatches[i];
                if (!t->FindNode(u"d", u"")) ++mismatches[i];
                std::unique_ptr<CJson> c(t->Clone());
                if (c->ToString() != expected) ++mismatches[i];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

// One thread keeps changing a member while others write and search the tree; under
// ThreadSanitizer this shows that the setters take the node locks that the readers take.
TEST(CJsonNode, ConcurrentWriterAndReaders) {
    Tree t = Parse(R"({"a":1,"b":{"c":"x","d":[1,2]},"e":"y"})");
    CJson* c = t->FindNode(u"c", u"");
    ASSERT_NE(c, nullptr);
    const std::u16string asText = t->ToString();
    c->SetLong(7);
    const std::u16string asNumber = t->ToString();
    c->SetValue(u"x");
    ASSERT_NE(asText, asNumber);

    constexpr int kRounds = 300;
    std::thread writer([&] {
        for (int n = 0; n < kRounds; ++n) {
            c->SetLong(7);
            c->SetKey(u"c");
            c->SetValue(u"x");
        }
    });
    std::vector<std::thread> readers;
    std::vector<int> mismatches(2, 0);
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&, i] {
            for (int n = 0; n < kRounds; ++n) {
                const std::u16string text = t->ToString();
                if (text != asText && text != asNumber) ++mismatches[i];
                if (t->FindNode(u"c", u"") != c) ++mismatches[i];
                CJson* b = t->FindChild(u"b", u"");
                if (b == nullptr || b->FindNode(u"c", u"") != c) ++mismatches[i];
                const std::u16string value = c->GetValue();
                if (value != u"x" && value != u"7") ++mismatches[i];
            }
        });
    }
    writer.join();
    for (auto& th : readers) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
    EXPECT_EQ(t->ToString(), asText);
}

}  // namespace
