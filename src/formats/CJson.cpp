// CJson: tree nodes, type detection, and the JSON reader and writer whose exact output the phone app reads.
#include "CJson.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <tuple>

namespace {

// The type names, kept as a byte in each node.
constexpr CJson::Type kNone = CJson::Type::kNone;
constexpr CJson::Type kString = CJson::Type::kString;
constexpr CJson::Type kList = CJson::Type::kList;
constexpr CJson::Type kArray = CJson::Type::kArray;
constexpr CJson::Type kBool = CJson::Type::kBool;
constexpr CJson::Type kLong = CJson::Type::kLong;
constexpr CJson::Type kDouble = CJson::Type::kDouble;

// Reading recurses once per bracket level. Request files are at most about a kilobyte, but the
// reader also serves debugging tools fed arbitrary text, so nesting deeper than this is kept
// as plain text instead of being descended into.
constexpr int kMaxReadDepth = 1000;

bool StartsWith(const std::u16string& s, char16_t c) { return !s.empty() && s.front() == c; }
bool EndsWith(const std::u16string& s, char16_t c) { return !s.empty() && s.back() == c; }

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// Removes the double quotes around a member name or value. A trailing quote that is escaped
// (after an odd run of backslashes) belongs to the text and stays, so that a value ending in
// an escaped quote reads back as it was written.
std::u16string TrimQuotes(std::u16string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && s[b] == u'"') ++b;
    while (e > b && s[e - 1] == u'"') {
        size_t slashes = 0;
        while (e - 1 - slashes > b && s[e - 2 - slashes] == u'\\') ++slashes;
        if (slashes % 2 == 1) break;
        --e;
    }
    return std::u16string(s.substr(b, e - b));
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

// 1 to 10 characters, all digits, not beginning with "0"; skip is the index of a character left
// out (the decimal point of a double), or npos.
bool IsIntegerText(std::u16string_view t, size_t skip = std::u16string_view::npos) {
    const size_t size = t.size() - (skip < t.size() ? 1 : 0);
    if (size == 0 || size > 10) return false;
    bool first = true;
    for (size_t i = 0; i < t.size(); ++i) {
        if (i == skip) continue;
        if (t[i] < u'0' || t[i] > u'9' || (first && t[i] == u'0')) return false;
        first = false;
    }
    return true;
}

bool EqualsIgnoringAsciiCase(std::u16string_view t, std::u16string_view lower) {
    if (t.size() != lower.size()) return false;
    for (size_t i = 0; i < t.size(); ++i) {
        const char16_t c = (t[i] >= u'A' && t[i] <= u'Z') ? static_cast<char16_t>(t[i] - u'A' + u'a') : t[i];
        if (c != lower[i]) return false;
    }
    return true;
}

const std::u16string kMaskedComma = u"t%2Cm%2Cp";
const std::u16string kMaskedColon = u"t%3Am%3Ap";
constexpr size_t kMaskedLength = 9;  // both masked forms

// The bracket group of Mask that opens at open: the index of the character that closes it,
// counting only brackets of the opening kind, or npos when it never closes.
size_t GroupEnd(std::u16string_view s, size_t open) {
    const char16_t opener = s[open];
    const char16_t closer = opener == u'[' ? u']' : u'}';
    int64_t balance = 0;
    for (size_t i = open; i < s.size(); ++i) {
        if (s[i] == opener)
            ++balance;
        else if (s[i] == closer)
            --balance;
        if (balance == 0) return i;
    }
    return std::u16string_view::npos;
}

// The next opening bracket of either kind at or after pos. The two searches are remembered
// between calls (pos only grows), so a whole scan reads the text once per kind.
class NextOpener {
public:
    explicit NextOpener(std::u16string_view s) : m_s(s), m_square(s.find(u'[')), m_curly(s.find(u'{')) {}
    size_t From(size_t pos) {
        if (m_square != npos && m_square < pos) m_square = m_s.find(u'[', pos);
        if (m_curly != npos && m_curly < pos) m_curly = m_s.find(u'{', pos);
        return std::min(m_square, m_curly);
    }

private:
    static constexpr size_t npos = std::u16string_view::npos;
    std::u16string_view m_s;
    size_t m_square;
    size_t m_curly;
};

// The writer's pair test: a quote directly followed by a colon past the first character, both
// in the body and in its masked form (CJson::Mask). The masked form is not built: the scan
// follows Mask's groups and looks for a quote and colon that the masking leaves standing.
bool PassesPairTest(std::u16string_view body) {
    static const std::u16string pair = u"\":";
    if (body.find(pair, 1) == std::u16string_view::npos) return false;
    // Text that holds a masked form is unmasked instead; that only turns masked forms back into
    // commas and colons, so the pair already found stays a pair past the first character.
    if (body.find(kMaskedComma) != std::u16string_view::npos || body.find(kMaskedColon) != std::u16string_view::npos)
        return true;
    // A pair outside the groups counts when the quote is not the masked text's first character.
    // The masked text is never shorter than the body, so a quote past the body's first
    // character is past the masked text's first character too; inside the groups every colon
    // is masked.
    auto pairIn = [&](size_t from, size_t to) {
        for (size_t i = std::max<size_t>(from, 1); i + 1 < to; ++i)
            if (body[i] == u'"' && body[i + 1] == u':') return true;
        return false;
    };
    NextOpener opener(body);
    size_t pos = 0;
    while (pos < body.size()) {
        const size_t open = opener.From(pos);
        if (open == std::u16string_view::npos) break;
        // The pair may not straddle a group's edge: a group starts and ends with a bracket.
        if (pairIn(pos, open)) return true;
        const size_t end = GroupEnd(body, open);
        if (end == std::u16string_view::npos) {
            pos = open;  // an unclosed group ends the masking; the rest stays as it is
            break;
        }
        pos = end + 1;
    }
    return pairIn(pos, body.size());
}
}  // namespace

// --- The reader -------------------------------------------------------------------------------
//
// Every level of the reader looks at one piece of the text: it trims it, finds its top-level
// structural characters (its tokens: brackets, commas and colons outside strings, after escaped
// backslashes and quotes are blanked out) and reads the pieces between them one level deeper.
// Finding the tokens of a piece by scanning it would read the text again at every level, so
// the whole text is scanned once and the tokens of any piece are looked up:
//  - the blanking is the same in a piece as in the whole text from the first character that
//    is not a backslash on, so only the piece's leading run of backslashes and the character
//    after it are scanned on their own;
//  - from there on a piece's string state and depth follow the whole text's, in one of two
//    scans of it: one starting outside a string and one inside (they differ in every position),
//    the piece's depth shifted by a constant;
//  - every token of a scan is filed by its level (the depth before an opener, comma or colon,
//    after a closer), in text order, so a piece's top-level tokens are the run of one level's
//    tokens between its ends, found by binary search.
// A piece's tokens thus cost a lookup, not a scan, and the text is never copied per level.
namespace {

enum CharClass : uint8_t { kOther, kQuote, kOpenCurly, kOpenSquare, kCloseCurly, kCloseSquare, kComma, kColon };

CharClass ClassOf(char16_t c) {
    switch (c) {
    case u'"': return kQuote;
    case u'{': return kOpenCurly;
    case u'[': return kOpenSquare;
    case u'}': return kCloseCurly;
    case u']': return kCloseSquare;
    case u',': return kComma;
    case u':': return kColon;
    default: return kOther;
    }
}

bool IsOpener(CharClass c) { return c == kOpenCurly || c == kOpenSquare; }
bool IsCloser(CharClass c) { return c == kCloseCurly || c == kCloseSquare; }
bool IsStructural(CharClass c) { return c >= kOpenCurly; }

// Positions filed by level, each level's in text order.
class LevelIndex {
public:
    void Build(const std::vector<std::pair<int32_t, uint32_t>>& entries) {
        if (entries.empty()) return;
        m_min = m_max = entries.front().first;
        for (const auto& e : entries) {
            m_min = std::min(m_min, e.first);
            m_max = std::max(m_max, e.first);
        }
        m_start.assign(static_cast<size_t>(m_max - m_min) + 2, 0);
        for (const auto& e : entries) ++m_start[static_cast<size_t>(e.first - m_min) + 1];
        for (size_t i = 1; i < m_start.size(); ++i) m_start[i] += m_start[i - 1];
        m_positions.resize(entries.size());
        std::vector<uint32_t> fill(m_start.begin(), m_start.end() - 1);
        for (const auto& e : entries) m_positions[fill[static_cast<size_t>(e.first - m_min)]++] = e.second;
    }
    // The positions of level in [from, to).
    std::pair<const uint32_t*, const uint32_t*> Find(int64_t level, uint32_t from, uint32_t to) const {
        if (m_positions.empty() || level < m_min || level > m_max || from >= to) return {nullptr, nullptr};
        const uint32_t* first = m_positions.data() + m_start[static_cast<size_t>(level - m_min)];
        const uint32_t* last = m_positions.data() + m_start[static_cast<size_t>(level - m_min) + 1];
        return {std::lower_bound(first, last, from), std::lower_bound(first, last, to)};
    }

private:
    int32_t m_min = 0;
    int32_t m_max = 0;
    std::vector<uint32_t> m_start;
    std::vector<uint32_t> m_positions;
};

// One scan of the whole text, starting inside or outside a string.
struct Scan {
    bool built = false;
    std::vector<int32_t> depthBefore;  // per position, and one past the end
    LevelIndex tokens;
    LevelIndex commas;
};

// The top-level tokens of one piece: at most one from the piece's own start, then a run of one
// level's tokens from a scan.
struct PieceTokens {
    uint32_t local = 0;  // position of the token at the start, when hasLocal
    bool hasLocal = false;
    const uint32_t* first = nullptr;
    const uint32_t* last = nullptr;
    // For the commas: the same level's run in the comma index.
    const uint32_t* firstComma = nullptr;
    const uint32_t* lastComma = nullptr;
    bool localIsComma = false;

    size_t Count() const { return (hasLocal ? 1 : 0) + static_cast<size_t>(last - first); }
    uint32_t At(size_t i) const { return hasLocal ? (i == 0 ? local : first[i - 1]) : first[i]; }
    bool HasComma() const { return localIsComma || firstComma != lastComma; }
};

}  // namespace

class CJson::Reader {
public:
    explicit Reader(const std::u16string& text) : m_text(text) {
        const size_t n = text.size();
        m_class.resize(n);
        // The blanking of escaped backslashes, then of escaped quotes, as whole-text replacements
        // from the left would do it: pairs of backslashes go first; a backslash left over at the
        // end of a run blanks the quote after it.
        size_t i = 0;
        while (i < n) {
            if (text[i] != u'\\') {
                m_class[i] = ClassOf(text[i]);
                ++i;
                continue;
            }
            size_t end = i;
            while (end < n && text[end] == u'\\') m_class[end++] = kOther;
            if ((end - i) % 2 == 1 && end < n && text[end] == u'"') m_class[end++] = kOther;
            i = end;
        }
        Build(m_scans[0], false);
    }

    CJson* Read(uint32_t begin, uint32_t end, int depth);

private:
    void Build(Scan& scan, bool inString) {
        const size_t n = m_text.size();
        scan.depthBefore.resize(n + 1);
        std::vector<std::pair<int32_t, uint32_t>> tokens;
        std::vector<std::pair<int32_t, uint32_t>> commas;
        int32_t depth = 0;
        for (size_t i = 0; i < n; ++i) {
            scan.depthBefore[i] = depth;
            const CharClass c = static_cast<CharClass>(m_class[i]);
            if (c == kQuote) {
                inString = !inString;
                continue;
            }
            if (inString || !IsStructural(c)) continue;
            const auto pos = static_cast<uint32_t>(i);
            if (IsOpener(c)) {
                tokens.emplace_back(depth, pos);
                ++depth;
            } else if (IsCloser(c)) {
                --depth;
                tokens.emplace_back(depth, pos);
            } else {
                tokens.emplace_back(depth, pos);
                if (c == kComma) commas.emplace_back(depth, pos);
            }
        }
        scan.depthBefore[n] = depth;
        scan.tokens.Build(tokens);
        scan.commas.Build(commas);
        scan.built = true;
    }

    // The string state outside/inside at a position of the scan that starts outside a string:
    // the parity of the real quotes before it.
    bool InStringAt(uint32_t pos) {
        // Counted once for every position on first need.
        if (m_inString.empty()) {
            m_inString.resize(m_text.size() + 1);
            bool in = false;
            for (size_t i = 0; i < m_text.size(); ++i) {
                m_inString[i] = in;
                if (m_class[i] == kQuote) in = !in;
            }
            m_inString[m_text.size()] = in;
        }
        return m_inString[pos] != 0;
    }

    PieceTokens Tokens(uint32_t begin, uint32_t end) {
        PieceTokens result;
        // The piece's leading run of backslashes and the character after it, blanked as the
        // piece alone would blank them.
        uint32_t e = begin;
        while (e < end && m_text[e] == u'\\') ++e;
        if (e >= end) return result;
        const bool oddRun = (e - begin) % 2 == 1;
        CharClass c = ClassOf(m_text[e]);
        if (c == kQuote && oddRun) c = kOther;
        bool inString = false;
        int32_t depth = 0;
        if (c == kQuote) {
            inString = true;
        } else if (IsOpener(c) || c == kComma || c == kColon) {
            result.hasLocal = true;
            result.local = e;
            result.localIsComma = c == kComma;
            if (IsOpener(c)) depth = 1;
        } else if (IsCloser(c)) {
            depth = -1;
        }
        const uint32_t from = e + 1;
        if (from >= end) return result;
        // The scan whose string state agrees with the piece's after that character.
        const bool flipped = InStringAt(from) != inString;
        Scan& scan = m_scans[flipped ? 1 : 0];
        if (!scan.built) Build(scan, true);
        const int64_t level = int64_t{scan.depthBefore[from]} - depth;
        std::tie(result.first, result.last) = scan.tokens.Find(level, from, end);
        std::tie(result.firstComma, result.lastComma) = scan.commas.Find(level, from, end);
        return result;
    }

    CharClass ClassAt(uint32_t pos) const { return static_cast<CharClass>(m_class[pos]); }

    void TrimSpaces(uint32_t& begin, uint32_t& end) const {
        while (begin < end && IsSpace(m_text[begin])) ++begin;
        while (end > begin && IsSpace(m_text[end - 1])) --end;
    }

    // TrimQuotes of the piece, copied out.
    std::u16string Unquoted(uint32_t begin, uint32_t end) const {
        return TrimQuotes(std::u16string_view(m_text).substr(begin, end - begin));
    }

    const std::u16string& m_text;
    std::vector<uint8_t> m_class;
    std::vector<uint8_t> m_inString;
    Scan m_scans[2];
};

CJson* CJson::Reader::Read(uint32_t begin, uint32_t end, int depth) {
    auto* n = new CJson();
    TrimSpaces(begin, end);
    if (depth > kMaxReadDepth) {
        n->AssignValue(Unquoted(begin, end));
        return n;
    }
    const PieceTokens tokens = Tokens(begin, end);
    const size_t count = tokens.Count();

    if (tokens.HasComma()) {
        uint32_t start = begin;
        auto piece = [&](uint32_t comma) {
            n->AppendUnlocked(Read(start, comma, depth + 1));
            start = comma + 1;
        };
        if (tokens.localIsComma) piece(tokens.local);
        for (const uint32_t* c = tokens.firstComma; c != tokens.lastComma; ++c) piece(*c);
        n->AppendUnlocked(Read(start, end, depth + 1));
        return n;
    }

    if (count == 0) {
        n->AssignValue(Unquoted(begin, end));
        return n;
    }

    if (count == 1) {
        const uint32_t p = tokens.At(0);
        n->m_key = Unquoted(begin, p);
        std::u16string value = Unquoted(p + 1, end);
        value = ReplaceAll(value, u"\\\\", u"\\");
        value = ReplaceAll(value, u"\\\"", u"\"");
        n->AssignValue(value);
        return n;
    }

    if (count == 2) {
        const uint32_t p0 = tokens.At(0);
        const uint32_t p1 = tokens.At(1);
        CJson* h = Read(p0 + 1, p1, depth + 1);
        bool keep;
        if (ClassAt(p0) == kOpenSquare)
            keep = Tokens(p0 + 1, p1).Count() == 2;
        else
            keep = !h->m_key.empty();
        if (keep) {
            n->AppendUnlocked(h);
            return n;
        }
        delete n;
        return h;
    }

    const uint32_t p = tokens.At(0);
    if (ClassAt(p) == kColon) {
        uint32_t keyBegin = begin;
        uint32_t keyEnd = p;
        TrimSpaces(keyBegin, keyEnd);
        n->m_key = Unquoted(keyBegin, keyEnd);
        const CharClass second = ClassAt(tokens.At(1));
        // What follows the colon, trimmed, without its first and last characters.
        uint32_t restBegin = p + 1;
        uint32_t restEnd = end;
        TrimSpaces(restBegin, restEnd);
        uint32_t innerBegin = restBegin;
        uint32_t innerEnd = restBegin;
        if (restEnd - restBegin >= 2) {
            innerBegin = restBegin + 1;
            innerEnd = restEnd - 1;
        }
        if (second == kOpenCurly) {
            n->AppendUnlocked(Read(innerBegin, innerEnd, depth + 1));
        } else if (second == kOpenSquare) {
            CJson* h = Read(innerBegin, innerEnd, depth + 1);
            const PieceTokens inner = Tokens(innerBegin, innerEnd);
            if ((inner.Count() == 2 && ClassAt(inner.At(0)) == kOpenCurly) || h->m_children.empty()) {
                n->AppendUnlocked(h);
            } else {
                // The children move up as they are (the node in between goes).
                std::vector<CJson*> children;
                children.swap(h->m_children);
                for (CJson* child : children) {
                    child->m_parent.store(nullptr, std::memory_order_relaxed);
                    n->AppendUnlocked(child);
                }
                delete h;
            }
        }
        // Any other token after the colon: the key alone (what follows is not read).
    }
    return n;
}

// --- Nodes ------------------------------------------------------------------------------------

CJson::CJson() : m_type(kString) {}

CJson::CJson(const std::u16string& key, const std::u16string& value) : m_type(kString), m_key(key) {
    AssignValue(value);
}

// Whoever deletes a node owns it and its subtree, and no other thread may still use them, so
// the subtree is freed without locks.
CJson::~CJson() {
    FreeChildrenUnlocked();
    WipeData();
}

void CJson::FreeChildrenUnlocked() {
    for (auto it = m_children.rbegin(); it != m_children.rend(); ++it) delete *it;
    m_children.clear();
}

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
    FreeChildrenUnlocked();
    m_key.clear();
    m_value.clear();
    m_type = kNone;
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
    Type type;
    {
        std::scoped_lock lock(m_lock);
        type = m_type;
    }
    return TypeName(type);
}

std::u16string CJson::TypeName(Type type) {
    switch (type) {
    case kString: return u"string";
    case kList: return u"list";
    case kArray: return u"array";
    case kBool: return u"bool";
    case kLong: return u"long";
    case kDouble: return u"double";
    case kNone: break;
    }
    return std::u16string();
}

CJson::Type CJson::TypeUnder(CJson* parent) {
    if (parent == nullptr) return kNone;
    std::scoped_lock lock(parent->m_lock);
    return parent->m_type;
}

void CJson::SetValue(const std::u16string& value) {
    std::scoped_lock lock(m_lock);
    AssignValue(value);
}

std::u16string CJson::StoredValue(std::u16string text) {
    if (StartsWith(text, u'"') && EndsWith(text, u'"')) {
        if (text.size() < 2) return std::u16string();
        text.pop_back();
        text.erase(0, 1);
    }
    return text;
}

void CJson::AssignValue(std::u16string t) {
    m_type = kString;
    if (StartsWith(t, u'{') && EndsWith(t, u'}')) m_type = kList;
    if (StartsWith(t, u'[') && EndsWith(t, u']')) {
        m_type = kArray;
        m_value = std::move(t);
        return;
    }
    if (StartsWith(t, u'"') && EndsWith(t, u'"')) {
        m_type = kString;
        m_value = StoredValue(std::move(t));
        return;
    }
    if (t.empty()) {
        m_type = kString;
    } else if (EqualsIgnoringAsciiCase(t, u"true") || EqualsIgnoringAsciiCase(t, u"false")) {
        m_type = kBool;
    } else if (IsIntegerText(t)) {
        m_type = kLong;
    } else {
        const size_t dot = t.find(u'.');
        if (dot != std::u16string::npos && t.find(u'.', dot + 1) == std::u16string::npos && IsIntegerText(t, dot))
            m_type = kDouble;
    }
    m_value = std::move(t);
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

void CJson::AppendUnlocked(CJson* child) {
    child->m_parent.store(this, std::memory_order_relaxed);
    if (m_type == kString) m_type = (child->m_key.empty() && child->m_children.empty()) ? kArray : kList;
    m_children.push_back(child);
}

CJson* CJson::AddChildUnlocked(std::u16string key, std::u16string value) {
    auto* child = new CJson();
    child->m_key = std::move(key);
    child->AssignValue(std::move(value));
    m_type = (child->m_key.empty() && !child->m_value.empty()) ? kArray : kList;
    child->m_parent.store(this, std::memory_order_relaxed);
    m_children.push_back(child);
    return child;
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
    // The copy's value goes through the type detection again, as a node made from key and value
    // does; its type name is then the original's.
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
    copy->m_children.reserve(m_children.size());
    for (CJson* child : m_children) copy->AppendUnlocked(child->Clone());
    return copy;
}

std::u16string CJson::Mask(const std::u16string& s) {
    if (s.find(kMaskedComma) != std::u16string::npos || s.find(kMaskedColon) != std::u16string::npos)
        return ReplaceAll(ReplaceAll(s, kMaskedComma, u","), kMaskedColon, u":");

    std::u16string out;
    out.reserve(s.size());
    NextOpener opener(s);
    size_t pos = 0;
    while (pos < s.size()) {
        const size_t open = opener.From(pos);
        if (open == std::u16string::npos) break;
        out.append(s, pos, open - pos);
        const size_t end = GroupEnd(s, open);
        if (end == std::u16string::npos) {
            // An unclosed group ends the scan; the rest stays as it is.
            pos = open;
            break;
        }
        for (size_t i = open; i <= end; ++i) {
            if (s[i] == u',')
                out += kMaskedComma;
            else if (s[i] == u':')
                out += kMaskedColon;
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
    const Type parentType = TypeUnder(parent);
    // Room for the whole text at once: growing a large text step by step costs more than the
    // walk that sizes it (each step is a new block, copied and touched page by page).
    std::u16string out;
    out.reserve(SizeHint());
    WriteTo(out, parent != nullptr, parentType);
    return out;
}

size_t CJson::SizeHint() const {
    std::scoped_lock lock(m_lock);
    // Key and value with the quotes, colon, brackets and comma around them; values rarely need
    // escapes, and the text grows past this if they do.
    size_t size = m_key.size() + m_value.size() + 6;
    for (const CJson* child : m_children) size += child->SizeHint();
    return size;
}

namespace {

// Replaces every "[]" in out[from, to) by two quotes, as a keyed container's text has them.
void ReplaceEmptyBrackets(std::u16string& out, size_t from, size_t to) {
    for (size_t i = from; i + 1 < to; ++i) {
        if (out[i] == u'[' && out[i + 1] == u']') {
            out[i] = u'"';
            out[i + 1] = u'"';
            ++i;
        }
    }
}

bool HasEmptyBrackets(std::u16string_view text) { return text.find(u"[]") != std::u16string_view::npos; }

}  // namespace

// The text is written in place: the children's texts (or the escaped value) go to the end of out
// first, the form is chosen from them, and the opening part is put in front. A node with
// children leaves room for its usual opening part before them, so that the body, which may be
// most of the text, is not moved again at every level.
//
// A keyed container writes every "[]" of its text as two quotes. A node's text has no "[]" but
// in its own parts (its key, a leaf's value, an empty pair of its own brackets) and in its
// children's texts: texts never start with "]" or end with "[", and children are joined by
// commas. So each node reports whether its text may still hold one, and a keyed container
// rewrites only its own parts and the children that reported one.
bool CJson::WriteTo(std::u16string& out, bool hasParent, Type parentType) {
    std::scoped_lock lock(m_lock);
    const size_t start = out.size();
    const bool keyed = !m_key.empty();
    const size_t room = m_children.empty() ? 0 : (keyed ? m_key.size() + 3 : 0) + 1;
    out.append(room, u'\0');
    const size_t bodyStart = out.size();
    bool childMayHoldBrackets = false;
    std::vector<std::pair<size_t, size_t>> bracketChildren;  // relative to bodyStart
    if (m_children.empty()) {
        // The value with backslashes and quotes escaped, copied a run at a time.
        size_t from = 0;
        for (;;) {
            const size_t hit = m_value.find_first_of(u"\\\"", from);
            out.append(m_value, from, hit == std::u16string::npos ? std::u16string::npos : hit - from);
            if (hit == std::u16string::npos) break;
            out.push_back(u'\\');
            out.push_back(m_value[hit]);
            from = hit + 1;
        }
    } else {
        for (CJson* child : m_children) {
            if (out.size() > bodyStart) out.push_back(u',');
            const size_t childStart = out.size();
            if (child->WriteTo(out, true, m_type)) {
                childMayHoldBrackets = true;
                if (keyed && m_value.empty()) bracketChildren.emplace_back(childStart - bodyStart, out.size() - bodyStart);
            }
        }
    }

    const std::u16string_view body(out.data() + bodyStart, out.size() - bodyStart);
    const bool empty = body.empty();
    const char16_t first = empty ? 0 : body.front();
    const char16_t last = empty ? 0 : body.back();
    // The opening part: a lead text (with the key quoted when there is one) and the opening
    // character; the closing part: a literal.
    std::u16string_view lead;
    char16_t open = 0;
    std::u16string_view close;
    auto form = [&](char16_t opening, std::u16string_view closing) {
        open = opening;
        close = closing;
    };
    bool replaceEmptyBrackets = false;

    if (keyed && !m_value.empty()) {
        if (PassesPairTest(body))
            form(u'{', u"}");
        else if (m_type == kDouble || m_type == kLong)
            form(0, u"");
        else
            form(u'"', u"\"");
    } else if (keyed) {
        if (m_type == kArray)
            form(u'[', u"]");
        else if (m_type == kList && first == u'[' && last == u']')
            form(0, u"");
        else if (m_type == kList && first == u'{' && last == u'}')
            form(u'[', u"]");
        else if (m_type == kList)
            form(u'{', u"}");
        else if (empty)
            form(0, u"\"\"");
        else if (PassesPairTest(body))
            form(u'{', u"}");
        else
            form(u'[', u"]");
        // An empty bracket pair anywhere in a keyed container is written as an empty string.
        replaceEmptyBrackets = true;
    } else if (!m_value.empty()) {
        if (m_type == kString) {
            if (hasParent && parentType == kList) lead = u"\"\":";
            form(u'"', u"\"");
        } else if (m_type == kArray) {
            form(u'[', u"]");
        } else if (m_type == kList) {
            form(u'{', u"}");
        }
    } else {
        if (first == u'{')
            form(u'[', u"]");
        else if (hasParent && parentType == kArray && empty)
            form(0, u"\"\"");
        else if (hasParent && parentType == kArray)
            form(u'{', u"}");
        else if (m_type == kArray)
            form(u'[', u"]");
        else
            form(u'{', u"}");
    }

    // The opening part goes into the room left for it, or in front of the body in one move.
    const size_t openLength = (keyed ? m_key.size() + 3 : lead.size()) + (open != 0 ? 1 : 0);
    if (openLength > room)
        out.insert(start, openLength - room, u'\0');
    else if (openLength < room)
        out.erase(start, room - openLength);
    if (openLength > 0) {
        char16_t* at = out.data() + start;
        if (keyed) {
            *at++ = u'"';
            at = std::copy(m_key.begin(), m_key.end(), at);
            *at++ = u'"';
            *at++ = u':';
        } else {
            at = std::copy(lead.begin(), lead.end(), at);
        }
        if (open != 0) *at = open;
    }
    out.append(close);

    // Whether the text may hold "[]": a leaf's whole text, else its opening part or a child's.
    const std::u16string_view own =
        m_children.empty() ? std::u16string_view(out).substr(start) : std::u16string_view(out).substr(start, openLength);
    bool mayHoldBrackets = childMayHoldBrackets || HasEmptyBrackets(own);
    if (replaceEmptyBrackets && mayHoldBrackets) {
        const size_t shifted = start + openLength;
        ReplaceEmptyBrackets(out, start, m_children.empty() ? out.size() : start + openLength);
        for (const auto& [from, to] : bracketChildren) ReplaceEmptyBrackets(out, shifted + from, shifted + to);
        mayHoldBrackets = false;
    }
    if (!hasParent && out.size() > start && out[start] == u'"') {
        out.insert(start, 1, u'{');
        out.push_back(u'}');
    }
    return mayHoldBrackets;
}

CJson* CJson::Parse(const std::u16string& text) {
    CJson* n;
    if (text.size() >= std::numeric_limits<uint32_t>::max()) {
        // The reader's positions are 32-bit; a text of four billion characters is kept whole
        // as a value rather than read.
        n = new CJson();
        n->AssignValue(text);
    } else {
        Reader reader(text);
        n = reader.Read(0, static_cast<uint32_t>(text.size()), 0);
    }
    if (!n->m_key.empty() || !n->m_value.empty()) {
        auto* root = new CJson();
        root->AppendUnlocked(n);
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
