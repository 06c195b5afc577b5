// ReferenceJson: the previous JSON reader and writer of CJson, through the public API (tests only).
#include "ReferenceJson.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "CJson.h"

namespace reference {
namespace {


const std::u16string kString = u"string";
const std::u16string kList = u"list";
const std::u16string kArray = u"array";
const std::u16string kBool = u"bool";
const std::u16string kLong = u"long";
const std::u16string kDouble = u"double";

// Reading recurses once per bracket level. Request files are at most about a kilobyte, but the
// reader also serves debugging tools fed arbitrary text, so nesting deeper than this is kept
// as plain text instead of being descended into.
constexpr int kMaxReadDepth = 1000;

bool StartsWith(const std::u16string& s, char16_t c) { return !s.empty() && s.front() == c; }
bool EndsWith(const std::u16string& s, char16_t c) { return !s.empty() && s.back() == c; }

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

std::u16string TrimSpace(const std::u16string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Removes the double quotes around a member name or value. A trailing quote that is escaped
// (after an odd run of backslashes) belongs to the text and stays, so that a value ending in
// an escaped quote reads back as it was written.
std::u16string TrimQuotes(const std::u16string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && s[b] == u'"') ++b;
    while (e > b && s[e - 1] == u'"') {
        size_t slashes = 0;
        while (e - 1 - slashes > b && s[e - 2 - slashes] == u'\\') ++slashes;
        if (slashes % 2 == 1) break;
        --e;
    }
    return s.substr(b, e - b);
}

std::u16string ReplaceAll(const std::u16string& s, const std::u16string& from, const std::u16string& to) {
    if (from.empty()) return s;
    std::u16string out;
    out.reserve(s.size());
    size_t pos = 0;
    for (;;) {
        size_t hit = s.find(from, pos);
        if (hit == std::u16string::npos) break;
        out.append(s, pos, hit - pos);
        out += to;
        pos = hit + from.size();
    }
    out.append(s, pos, std::u16string::npos);
    return out;
}

struct Token {
    char16_t ch;
    size_t pos;
};

// The top-level structural characters of a text, outside strings. Escaped backslashes and
// quotes are blanked first so that they neither open nor close a string.
std::vector<Token> Tokens(const std::u16string& s) {
    std::u16string copy = ReplaceAll(ReplaceAll(s, u"\\\\", u"AA"), u"\\\"", u"AA");
    std::vector<Token> tokens;
    bool inString = false;
    int depth = 0;
    for (size_t i = 0; i < copy.size(); ++i) {
        char16_t c = copy[i];
        if (c == u'"') {
            inString = !inString;
            continue;
        }
        if (inString) continue;
        switch (c) {
        case u'{':
        case u'[':
            if (depth == 0) tokens.push_back({c, i});
            ++depth;
            break;
        case u'}':
        case u']':
            --depth;
            if (depth == 0) tokens.push_back({c, i});
            break;
        case u',':
        case u':':
            if (depth == 0) tokens.push_back({c, i});
            break;
        default: break;
        }
    }
    return tokens;
}

// The writer's pair test: a quote directly followed by a colon past the first character, both
// in the body and in its masked form (where separators inside bracket groups are hidden).
bool PassesPairTest(const std::u16string& body) {
    static const std::u16string pair = u"\":";
    return body.find(pair, 1) != std::u16string::npos && Mask(body).find(pair, 1) != std::u16string::npos;
}

// Reads one node from a text; its top-level tokens decide the shape of what is built.
CJson* ReadText(const std::u16string& text, int depth) {
    auto* n = new CJson();
    std::u16string s = TrimSpace(text);
    if (depth > kMaxReadDepth) {
        n->SetValue(TrimQuotes(s));
        return n;
    }
    std::vector<Token> tokens = Tokens(s);

    bool hasComma = std::any_of(tokens.begin(), tokens.end(), [](const Token& t) { return t.ch == u','; });
    if (hasComma) {
        size_t start = 0;
        for (const Token& t : tokens) {
            if (t.ch != u',') continue;
            n->AddChild(ReadText(s.substr(start, t.pos - start), depth + 1));
            start = t.pos + 1;
        }
        n->AddChild(ReadText(s.substr(start), depth + 1));
        return n;
    }

    if (tokens.empty()) {
        n->SetValue(TrimQuotes(s));
        return n;
    }

    if (tokens.size() == 1) {
        size_t p = tokens[0].pos;
        n->SetKey(TrimQuotes(s.substr(0, p)));
        std::u16string value = TrimQuotes(s.substr(p + 1));
        value = ReplaceAll(value, u"\\\\", u"\\");
        value = ReplaceAll(value, u"\\\"", u"\"");
        n->SetValue(value);
        return n;
    }

    if (tokens.size() == 2) {
        size_t p0 = tokens[0].pos;
        size_t p1 = tokens[1].pos;
        std::u16string inner = s.substr(p0 + 1, p1 - p0 - 1);
        CJson* h = ReadText(inner, depth + 1);
        bool keep;
        if (tokens[0].ch == u'[')
            keep = Tokens(inner).size() == 2;
        else
            keep = !h->GetKey().empty();
        if (keep) {
            n->AddChild(h);
            return n;
        }
        delete n;
        return h;
    }

    if (tokens[0].ch == u':') {
        size_t p = tokens[0].pos;
        n->SetKey(TrimQuotes(TrimSpace(s.substr(0, p))));
        std::u16string r = TrimSpace(s.substr(p + 1));
        std::u16string inner = r.size() >= 2 ? r.substr(1, r.size() - 2) : std::u16string();
        CJson* h = ReadText(inner, depth + 1);
        if (tokens[1].ch == u'{') {
            n->AddChild(h);
        } else if (tokens[1].ch == u'[') {
            std::vector<Token> innerTokens = Tokens(inner);
            if (innerTokens.size() == 2 && innerTokens[0].ch == u'{') {
                n->AddChild(h);
            } else if (h->GetChildCount() == 0) {
                n->AddChild(h);
            } else {
                for (int i = 0; i < h->GetChildCount(); ++i) n->AddChild(h->GetChild(i)->Clone());
                delete h;
            }
        } else {
            delete h;
        }
    }
    return n;
}

}  // namespace

std::u16string Mask(const std::u16string& s) {
    static const std::u16string maskedComma = u"t%2Cm%2Cp";
    static const std::u16string maskedColon = u"t%3Am%3Ap";
    if (s.find(maskedComma) != std::u16string::npos || s.find(maskedColon) != std::u16string::npos)
        return ReplaceAll(ReplaceAll(s, maskedComma, u","), maskedColon, u":");

    std::u16string out;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t square = s.find(u'[', pos);
        size_t curly = s.find(u'{', pos);
        size_t open = std::min(square, curly);
        if (open == std::u16string::npos) break;
        char16_t opener = s[open];
        char16_t closer = opener == u'[' ? u']' : u'}';
        out.append(s, pos, open - pos);

        int opens = 0;
        int closes = 0;
        size_t end = std::u16string::npos;
        for (size_t i = open; i < s.size(); ++i) {
            if (s[i] == opener)
                ++opens;
            else if (s[i] == closer)
                ++closes;
            if (opens == closes) {
                end = i;
                break;
            }
        }
        if (end == std::u16string::npos) {
            // An unclosed group ends the scan; the rest stays as it is.
            pos = open;
            break;
        }
        for (size_t i = open; i <= end; ++i) {
            if (s[i] == u',')
                out += maskedComma;
            else if (s[i] == u':')
                out += maskedColon;
            else
                out.push_back(s[i]);
        }
        pos = end + 1;
    }
    if (pos < s.size()) out.append(s, pos, std::u16string::npos);
    return out;
}


std::u16string ToString(CJson* node) {
    CJson* const parent = node->GetParent();
    const std::u16string parentType = parent ? parent->GetType() : std::u16string();
    std::u16string body;
    const int count = node->GetChildCount();
    for (int i = 0; i < count; ++i) {
        std::u16string text = ToString(node->GetChild(i));
        if (!body.empty()) body += u',';
        body += text;
    }
    const std::u16string key = node->GetKey();
    const std::u16string value = node->GetValue();
    const std::u16string type = node->GetType();
    if (count == 0) body = ReplaceAll(ReplaceAll(value, u"\\", u"\\\\"), u"\"", u"\\\"");
    auto wrap = [](char16_t open, const std::u16string& inner, char16_t close) {
        std::u16string r;
        r.reserve(inner.size() + 2);
        r.push_back(open);
        r += inner;
        r.push_back(close);
        return r;
    };
    std::u16string quotedKey = u"\"" + key + u"\":";

    std::u16string r;
    if (!key.empty() && !value.empty()) {
        if (PassesPairTest(body))
            r = quotedKey + wrap(u'{', body, u'}');
        else if (type == kDouble || type == kLong)
            r = quotedKey + body;
        else
            r = quotedKey + wrap(u'"', body, u'"');
    } else if (!key.empty()) {
        if (type == kArray)
            r = quotedKey + wrap(u'[', body, u']');
        else if (type == kList && StartsWith(body, u'[') && EndsWith(body, u']'))
            r = quotedKey + body;
        else if (type == kList && StartsWith(body, u'{') && EndsWith(body, u'}'))
            r = quotedKey + wrap(u'[', body, u']');
        else if (type == kList)
            r = quotedKey + wrap(u'{', body, u'}');
        else if (body.empty())
            r = quotedKey + u"\"\"";
        else if (PassesPairTest(body))
            r = quotedKey + wrap(u'{', body, u'}');
        else
            r = quotedKey + wrap(u'[', body, u']');
        // An empty bracket pair anywhere in a keyed container is written as an empty string.
        r = ReplaceAll(r, u"[]", u"\"\"");
    } else if (!value.empty()) {
        if (type == kString)
            r = (parent && parentType == kList ? u"\"\":" : u"") + wrap(u'"', body, u'"');
        else if (type == kArray)
            r = wrap(u'[', body, u']');
        else if (type == kList)
            r = wrap(u'{', body, u'}');
        else
            r = body;
    } else {
        if (StartsWith(body, u'{'))
            r = wrap(u'[', body, u']');
        else if (parent && parentType == kArray && body.empty())
            r = u"\"\"";
        else if (parent && parentType == kArray)
            r = wrap(u'{', body, u'}');
        else if (type == kArray)
            r = wrap(u'[', body, u']');
        else
            r = wrap(u'{', body, u'}');
    }

    if (!parent && StartsWith(r, u'"')) r = wrap(u'{', r, u'}');
    return r;
}


CJson* ParseJson(const std::u16string& text) {
    CJson* n = ReadText(text, 0);
    if (!n->GetKey().empty() || !n->GetValue().empty()) {
        auto* root = new CJson();
        root->AddChild(n);
        return root;
    }
    return n;
}

bool SameTree(CJson* a, CJson* b, std::string* where) {
    auto differ = [where](const char* what) {
        if (where) *where = what;
        return false;
    };
    if (a->GetKey() != b->GetKey()) return differ("key");
    if (a->GetValue() != b->GetValue()) return differ("value");
    if (a->GetType() != b->GetType()) return differ("type");
    if (a->GetDataLength() != b->GetDataLength()) return differ("data length");
    if ((a->GetData() == nullptr) != (b->GetData() == nullptr)) return differ("data");
    if (a->GetData() && a->GetDataLength() > 0 &&
        std::memcmp(a->GetData(), b->GetData(), static_cast<size_t>(a->GetDataLength())) != 0)
        return differ("data bytes");
    if (a->GetChildCount() != b->GetChildCount()) return differ("child count");
    for (int i = 0; i < a->GetChildCount(); ++i) {
        if (!SameTree(a->GetChild(i), b->GetChild(i), where)) {
            if (where) *where = "child " + std::to_string(i) + " > " + *where;
            return false;
        }
    }
    return true;
}

}  // namespace reference
