// CJson: tree nodes, type detection, and the JSON reader and writer whose exact output the phone app reads.
#include "CJson.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

std::u16string FromAscii(const char* s) {
    std::u16string out;
    for (; *s; ++s) out.push_back(static_cast<unsigned char>(*s));
    return out;
}

std::u16string FormatSigned(int32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", v);
    return FromAscii(buf);
}

std::u16string FormatUnsigned(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u", v);
    return FromAscii(buf);
}

// 1 to 10 characters, all digits, not beginning with "0".
bool IsIntegerText(const std::u16string& t) {
    if (t.empty() || t.size() > 10 || t[0] == u'0') return false;
    return std::all_of(t.begin(), t.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

std::u16string ToLowerAscii(std::u16string s) {
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
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
    return body.find(pair, 1) != std::u16string::npos && CJson::Mask(body).find(pair, 1) != std::u16string::npos;
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

CJson::CJson() : m_type(kString) {}

CJson::CJson(const std::u16string& key, const std::u16string& value) : m_type(kString), m_key(key) { SetValue(value); }

CJson::~CJson() { Clear(); }

void CJson::WipeData() {
    if (m_data) {
        if (m_dataLength > 0) std::memset(m_data, 0, static_cast<size_t>(m_dataLength));
        delete[] m_data;
    }
    m_data = nullptr;
    m_dataLength = 0;
}

void CJson::Clear() {
    std::scoped_lock lock(m_lock);
    for (CJson* child : m_children) {
        child->Clear();
        delete child;
    }
    m_children.clear();
    m_key.clear();
    m_value.clear();
    m_type.clear();
    WipeData();
}

void CJson::SetKey(const std::u16string& key) {
    std::scoped_lock lock(m_lock);
    m_key = key;
}

std::u16string CJson::GetKey() const {
    std::scoped_lock lock(m_lock);
    return m_key;
}

std::u16string CJson::GetValue() const {
    std::scoped_lock lock(m_lock);
    return m_value;
}

std::u16string CJson::GetType() const {
    std::scoped_lock lock(m_lock);
    return m_type;
}

void CJson::SetValue(const std::u16string& t) {
    std::scoped_lock lock(m_lock);
    m_value = t;
    m_type = kString;
    if (StartsWith(t, u'{') && EndsWith(t, u'}')) m_type = kList;
    if (StartsWith(t, u'[') && EndsWith(t, u']')) {
        m_type = kArray;
        return;
    }
    if (StartsWith(t, u'"') && EndsWith(t, u'"')) {
        m_type = kString;
        m_value = t.size() >= 2 ? t.substr(1, t.size() - 2) : std::u16string();
        return;
    }
    if (t.empty()) {
        m_type = kString;
        return;
    }
    std::u16string lower = ToLowerAscii(t);
    if (lower == u"true" || lower == u"false") {
        m_type = kBool;
        return;
    }
    if (IsIntegerText(t)) {
        m_type = kLong;
        return;
    }
    if (std::count(t.begin(), t.end(), u'.') == 1) {
        std::u16string digits = t;
        digits.erase(digits.find(u'.'), 1);
        if (IsIntegerText(digits)) m_type = kDouble;
    }
}

void CJson::SetLong(int32_t value) {
    std::u16string text = FormatSigned(value);
    std::scoped_lock lock(m_lock);
    m_type = kLong;
    m_value = std::move(text);
}

void CJson::SetData(uint8_t* data, int32_t length) {
    std::scoped_lock lock(m_lock);
    WipeData();
    m_data = data;
    m_dataLength = length;
}

const uint8_t* CJson::GetData() const {
    std::scoped_lock lock(m_lock);
    return m_data;
}

int32_t CJson::GetDataLength() const {
    std::scoped_lock lock(m_lock);
    return m_dataLength;
}

CJson* CJson::GetParent() const { return m_parent.load(); }

int CJson::GetChildCount() const {
    std::scoped_lock lock(m_lock);
    return static_cast<int>(m_children.size());
}

CJson* CJson::GetChild(int index) {
    std::scoped_lock lock(m_lock);
    if (index < 0 || static_cast<size_t>(index) >= m_children.size()) return nullptr;
    return m_children[static_cast<size_t>(index)];
}

CJson* CJson::AddChild(CJson* child) {
    if (!child) return nullptr;
    // A node has one owner. One that is already held would be deleted by both of its parents,
    // and this node or an ancestor of it would end up inside its own subtree.
    for (CJson* up = this; up; up = up->m_parent.load())
        if (up == child) return nullptr;
    CJson* none = nullptr;
    if (!child->m_parent.compare_exchange_strong(none, this)) return nullptr;

    std::scoped_lock lock(m_lock);
    if (m_type == kString) {
        std::scoped_lock childLock(child->m_lock);
        m_type = (child->m_key.empty() && child->m_children.empty()) ? kArray : kList;
    }
    m_children.push_back(child);
    return child;
}

CJson* CJson::AddChild(const std::u16string& key, const std::u16string& value) {
    auto* child = new CJson(key, value);
    const bool keyless = key.empty() && !child->GetValue().empty();
    std::scoped_lock lock(m_lock);
    m_type = keyless ? kArray : kList;
    return AddChild(child);
}

CJson* CJson::AddChild(const std::u16string& key, int32_t value) { return AddChild(key, FormatSigned(value)); }

CJson* CJson::AddChild(const std::u16string& key, uint32_t value) { return AddChild(key, FormatUnsigned(value)); }

void CJson::RemoveChild(CJson* child) {
    if (!child) return;
    std::scoped_lock lock(m_lock);
    // Only a node of our own is deleted: deleting a node that another parent still holds
    // would leave that parent with a dangling child.
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it == m_children.end()) return;
    m_children.erase(it);
    delete child;
}

std::vector<CJson*> CJson::ReleaseChildren() {
    std::vector<CJson*> children;
    std::scoped_lock lock(m_lock);
    children.swap(m_children);
    for (CJson* child : children) child->m_parent.store(nullptr);
    return children;
}

bool CJson::Matches(const std::u16string& key, const std::u16string& value) const {
    if (key.empty() && value.empty()) return false;
    std::scoped_lock lock(m_lock);
    if (!key.empty() && m_key != key) return false;
    if (!value.empty() && m_value != value) return false;
    return true;
}

CJson* CJson::FindChild(const std::u16string& key, const std::u16string& value) {
    if (key.empty() && value.empty()) return nullptr;
    std::scoped_lock lock(m_lock);
    for (CJson* child : m_children)
        if (child->Matches(key, value)) return child;
    return nullptr;
}

CJson* CJson::FindNode(const std::u16string& key, const std::u16string& value, bool selfOnly) {
    if (Matches(key, value)) return this;
    if (selfOnly) return nullptr;
    std::scoped_lock lock(m_lock);
    for (CJson* child : m_children)
        if (CJson* found = child->FindNode(key, value, false)) return found;
    return nullptr;
}

CJson* CJson::Clone() {
    std::scoped_lock lock(m_lock);
    auto* copy = new CJson(m_key, m_value);
    copy->m_type = m_type;
    // Only a block of known length is copied: with a length of 0 or less there is no size to
    // copy, and nothing says the block is zero-terminated, so the copy holds no block.
    if (m_data && m_dataLength > 0) {
        const auto size = static_cast<size_t>(m_dataLength);
        auto* block = new uint8_t[size];
        std::memcpy(block, m_data, size);
        copy->m_data = block;
        copy->m_dataLength = m_dataLength;
    }
    for (CJson* child : m_children) copy->AddChild(child->Clone());
    return copy;
}

std::u16string CJson::Mask(const std::u16string& s) {
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

std::u16string CJson::ToString() {
    // Some forms depend on the parent's type name. It is read before this node's lock is taken,
    // so that the parent's lock is never first taken while this one is held.
    CJson* const parent = m_parent.load();
    const std::u16string parentType = parent ? parent->GetType() : std::u16string();

    std::scoped_lock lock(m_lock);
    std::u16string body;
    for (CJson* child : m_children) {
        std::u16string text = child->ToString();
        if (!body.empty()) body += u',';
        body += text;
    }
    if (m_children.empty()) body = ReplaceAll(ReplaceAll(m_value, u"\\", u"\\\\"), u"\"", u"\\\"");

    const std::u16string& key = m_key;
    const std::u16string& value = m_value;
    const std::u16string& type = m_type;
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

CJson* CJson::Read(const std::u16string& text) { return ReadText(text, 0); }

CJson* CJson::Parse(const std::u16string& text) {
    CJson* n = Read(text);
    if (!n->m_key.empty() || !n->m_value.empty()) {
        auto* root = new CJson();
        root->AddChild(n);
        return root;
    }
    return n;
}

bool CJson::CheckJson(const std::u16string& text) {
    int openCurly = 0, closeCurly = 0, openSquare = 0, closeSquare = 0;
    bool inString = false;
    for (char16_t c : text) {
        if (c == u'"') {
            inString = !inString;
            continue;
        }
        if (inString) continue;
        if (c == u'{')
            ++openCurly;
        else if (c == u'}')
            ++closeCurly;
        else if (c == u'[')
            ++openSquare;
        else if (c == u']')
            ++closeSquare;
    }
    return openCurly == closeCurly && openSquare == closeSquare && (closeCurly + closeSquare) > 0;
}
