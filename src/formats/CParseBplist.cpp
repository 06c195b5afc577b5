// CParseBplist: reads a binary property list ("bplist00") held in memory into a CJson tree.
#include "CParseBplist.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "CJson.h"
#include "TextEncoding.h"

// Shapes built (the phone app receives the ringtone catalogue in exactly this form):
// - every scalar becomes a child with an empty key and its value as text;
// - an array or set adds its elements straight to the parent, with no node of its own;
// - a dictionary adds one keyed child per entry: an entry whose value yields nothing gets an
//   empty value, one that yields a single plain scalar gets that text as its value (so a
//   one-element array reads like a plain value), anything else gets a node holding what the
//   value yielded.
//
// The file comes from a phone and is not trusted. A broken trailer or offset table gives an
// empty tree. Any single object that is broken (offset outside the buffer, payload or
// references running past the end, reference to an object that does not exist, a reference
// back to an object on the current path, nesting beyond kMaxDepth) is skipped: it adds
// nothing, and the containers around it keep their other content. Inside a dictionary a
// skipped value therefore reads as an empty value, the same as null.
//
// Dates are given as the seconds since 2001-01-01 00:00:00 UTC in "%lf", like any other real:
// nothing reads them, and it keeps every double (NaN, huge values) representable.

namespace {

// Deep enough for any real property list (the ringtone catalogue is four levels deep), and
// it bounds the stack: the parser recurses once per level, and the CJson tree it builds for
// nested dictionaries is just as deep and is itself written, copied and deleted recursively.
// At 512 levels parsing and writing take under 1 MB of stack in a debug build (2 MB with
// AddressSanitizer), well inside the 8 MB a thread gets by default.
constexpr size_t kMaxDepth = 512;

// Objects may be shared, so a few kilobytes of references can describe a tree of billions of
// nodes. The work of one parse is metered in approximate bytes of tree built: every object
// visited costs a node and every character of text two bytes. Once the budget is spent, every
// further object is skipped.
//
// A list without sharing yields a tree in proportion to its size: a ringtone catalogue costs
// 25 to 40 units per byte of input (each tone is a dictionary of five to ten entries, and keys
// are visited as well as values). The budget is therefore a multiple of the input's length,
// never below a fixed floor, so that catalogues of any size a phone holds are read whole,
// while an input describing a far larger tree through shared references still stops early.
constexpr int64_t kWorkBudget = int64_t{64} << 20;
constexpr int64_t kWorkPerInputByte = 64;
constexpr int64_t kNodeCost = 256;
constexpr int64_t kCharCost = 2;

constexpr size_t kTrailerSize = 32;

// The one rule for the format's big-endian numbers: bytes shifted most significant first into
// a 32-bit accumulator, so a longer field keeps its low 32 bits.
uint32_t ReadBigEndian(const unsigned char* p, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

std::u16string AsciiText(const char* text) {
    std::u16string result;
    for (; *text != '\0'; ++text) {
        result.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    }
    return result;
}

std::u16string UnsignedText(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%u", value);
    return AsciiText(buffer);
}

std::u16string RealText(double value) {
    // "%lf" of the largest double is 317 characters.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%lf", value);
    return AsciiText(buffer);
}

}  // namespace

CParseBplist::~CParseBplist() = default;

bool CParseBplist::Fits(uint64_t start, uint64_t size) const {
    const uint64_t length = static_cast<uint64_t>(m_length);
    return start <= length && size <= length - start;
}

bool CParseBplist::Charge(int64_t cost) {
    if (m_budget < cost) {
        m_budget = -1;
        return false;
    }
    m_budget -= cost;
    return true;
}

void CParseBplist::Reset() {
    m_offsetIntSize = 0;
    m_objectRefSize = 0;
    m_objectCount = 0;
    m_topObject = 0;
    m_offsetTableOffset = 0;
    m_offsetTable.reset();
    m_data = nullptr;
    m_length = 0;
    m_path.clear();
    m_onPath.clear();
    m_seen.clear();
    m_texts.clear();
    m_budget = 0;
}

CJson* CParseBplist::Parse(const unsigned char* data, int length) {
    Reset();
    if (data == nullptr || length < static_cast<int>(kTrailerSize)) {
        return new CJson();
    }
    m_data = data;
    m_length = length;

    const unsigned char* trailer = data + length - kTrailerSize;
    const uint32_t offsetIntSize = ReadBigEndian(trailer + 6, 1);
    const uint32_t objectRefSize = ReadBigEndian(trailer + 7, 1);
    const uint32_t objectCount = ReadBigEndian(trailer + 8, 8);
    const uint32_t topObject = ReadBigEndian(trailer + 16, 8);
    const uint32_t tableOffset = ReadBigEndian(trailer + 24, 8);

    // The offset table must lie wholly before the trailer; checked in 64 bits before anything
    // is allocated, since the count alone may claim four billion entries.
    const uint64_t tableEnd = uint64_t{tableOffset} + uint64_t{objectCount} * uint64_t{offsetIntSize};
    if (offsetIntSize < 1 || offsetIntSize > 8 || objectRefSize < 1 || objectRefSize > 8 || objectCount == 0 ||
        topObject >= objectCount || tableEnd > static_cast<uint64_t>(length) - kTrailerSize) {
        Reset();
        return new CJson();
    }
    m_offsetIntSize = static_cast<int32_t>(offsetIntSize);
    m_objectRefSize = static_cast<int32_t>(objectRefSize);
    m_objectCount = static_cast<int32_t>(objectCount);
    m_topObject = static_cast<int32_t>(topObject);
    m_offsetTableOffset = static_cast<int32_t>(tableOffset);

    // Entries that do not point inside the buffer are kept as they are and rejected when the
    // object is visited, so only objects actually reached make the tree lose anything.
    m_offsetTable = std::make_unique<int32_t[]>(objectCount);
    for (uint32_t i = 0; i < objectCount; ++i) {
        m_offsetTable[i] =
            static_cast<int32_t>(ReadBigEndian(data + tableOffset + uint64_t{i} * offsetIntSize, offsetIntSize));
    }
    m_onPath.assign(objectCount, 0);
    m_seen.assign(objectCount, 0);
    m_budget = std::max(kWorkBudget, kWorkPerInputByte * static_cast<int64_t>(length));

    auto* root = new CJson();
    Visit(m_topObject, root);
    // The buffer is borrowed for this call only; the converted texts are not needed again.
    m_data = nullptr;
    m_length = 0;
    m_texts.clear();
    m_seen.clear();
    return root;
}

CJson* CParseBplist::ParseObject(int index, CJson* parent) {
    if (parent == nullptr) {
        parent = new CJson();
    } else {
        m_callerParent = parent;
    }
    Visit(index, parent);
    m_callerParent = nullptr;
    return parent;
}

void CParseBplist::Add(CJson* parent, std::u16string key, std::u16string value) {
    if (parent == m_callerParent) {
        parent->AddChild(key, value);
    } else {
        parent->AddChildUnlocked(std::move(key), std::move(value));
    }
}

void CParseBplist::Visit(int index, CJson* parent) {
    if (m_data == nullptr || index < 0 || index >= m_objectCount) {
        return;
    }
    // Charged before the path checks, so that references the checks reject are not free.
    if (!Charge(kNodeCost) || m_onPath[index] != 0 || m_path.size() >= kMaxDepth) {
        return;
    }
    m_path.push_back(index);
    m_onPath[index] = 1;
    AppendObject(index, parent);
    m_onPath[index] = 0;
    m_path.pop_back();
}

bool CParseBplist::ReadCount(uint64_t position, uint64_t& count, uint64_t& header) const {
    count = m_data[position] & 0x0F;
    header = 1;
    if (count == 15 && Fits(position + 1, 1) && (m_data[position + 1] >> 4) == 0x1) {
        const uint64_t size = uint64_t{1} << (m_data[position + 1] & 0x0F);
        if (!Fits(position + 2, size)) {
            return false;
        }
        count = ReadBigEndian(m_data + position + 2, size);
        header = 2 + size;
    }
    return true;
}

bool CParseBplist::TextOf(int index, uint64_t start, uint64_t size, std::u16string& text) {
    if (!Fits(start, size)) {
        return false;
    }
    const char* bytes = reinterpret_cast<const char*>(m_data + start);
    if (const void* zero = std::memchr(bytes, 0, size)) {
        size = static_cast<uint64_t>(static_cast<const char*>(zero) - bytes);
    }
    if (!Charge(kCharCost * static_cast<int64_t>(size))) {
        return false;
    }
    // Keys are shared by every dictionary that uses them (five per tone of a catalogue), so the
    // text of an object met a second time is kept and not converted again; most values are met
    // once and are never kept. The cache holds no more text than the budget has already been
    // charged for.
    uint8_t& seen = m_seen[static_cast<size_t>(index)];
    if (seen == 0) {
        seen = 1;
        text = AnsiToText(std::string_view(bytes, size));
        return true;
    }
    auto cached = m_texts.find(index);
    if (cached == m_texts.end()) {
        cached = m_texts.emplace(index, AnsiToText(std::string_view(bytes, size))).first;
    }
    text = cached->second;
    return true;
}

bool CParseBplist::IsContainerAt(int32_t position) const {
    if (position < 0 || position >= m_length) {
        return false;
    }
    const unsigned kind = m_data[position] >> 4;
    return kind == 0xA || kind == 0xC || kind == 0xD;
}

bool CParseBplist::ScalarText(int index, uint64_t pos, std::u16string& text) {
    const unsigned char marker = m_data[pos];
    const unsigned n = marker & 0x0F;
    uint64_t count = 0;
    uint64_t header = 1;
    switch (marker >> 4) {
    case 0x0:
        // false and true; null, fill and the undefined markers yield nothing.
        if (marker == 0x08 || marker == 0x09) {
            text = marker == 0x08 ? u"0" : u"1";
            return true;
        }
        return false;
    case 0x1: {
        const uint64_t size = uint64_t{1} << n;
        if (!Fits(pos + 1, size)) {
            return false;
        }
        text = UnsignedText(ReadBigEndian(m_data + pos + 1, size));
        return true;
    }
    case 0x2:
        if (n == 2 && Fits(pos + 1, 4)) {
            const uint32_t bits = ReadBigEndian(m_data + pos + 1, 4);
            text = RealText(std::bit_cast<float>(bits));
            return true;
        }
        return n == 3 && DoubleText(pos + 1, text);
    case 0x3:
        // Not a date: read as data of n bytes.
        return n == 3 ? DoubleText(pos + 1, text) : TextOf(index, pos + 1, n, text);
    case 0x4:
    case 0x5:
        return ReadCount(pos, count, header) && TextOf(index, pos + header, count, text);
    case 0x6: {
        if (!ReadCount(pos, count, header) || !Fits(pos + header, count * 2) ||
            !Charge(kCharCost * static_cast<int64_t>(count))) {
            return false;
        }
        text.assign(count, u'\0');
        const unsigned char* units = m_data + pos + header;
        for (uint64_t i = 0; i < count; ++i) {
            text[i] = static_cast<char16_t>((units[2 * i] << 8) | units[2 * i + 1]);
        }
        return true;
    }
    default:
        // UIDs and the markers the format leaves undefined yield nothing.
        return false;
    }
}

void CParseBplist::AppendObject(int index, CJson* parent) {
    const int32_t position = m_offsetTable[index];
    if (position < 0 || position >= m_length) {
        return;
    }
    const uint64_t pos = static_cast<uint64_t>(position);
    uint64_t count = 0;
    uint64_t header = 1;

    switch (m_data[pos] >> 4) {
    case 0xA:
    case 0xC:
        if (ReadCount(pos, count, header) && Fits(pos + header, count * m_objectRefSize)) {
            for (uint64_t i = 0; i < count && m_budget >= 0; ++i) {
                ParseReference(pos + header + i * m_objectRefSize, parent);
            }
        }
        return;
    case 0xD:
        if (ReadCount(pos, count, header) && Fits(pos + header, count * 2 * m_objectRefSize)) {
            AppendDictionary(pos + header, count, parent);
        }
        return;
    default: {
        // Every other object is a scalar: one text child, or nothing.
        std::u16string text;
        if (ScalarText(index, pos, text)) {
            Add(parent, std::u16string(), std::move(text));
        }
        return;
    }
    }
}

bool CParseBplist::DoubleText(uint64_t start, std::u16string& text) const {
    if (!Fits(start, 8)) {
        return false;
    }
    uint64_t bits = 0;
    for (uint64_t i = 0; i < 8; ++i) {
        bits = (bits << 8) | m_data[start + i];
    }
    text = RealText(std::bit_cast<double>(bits));
    return true;
}

CParseBplist::Yield CParseBplist::ScalarAt(uint64_t at, std::u16string& text) {
    const uint32_t reference = ReadBigEndian(m_data + at, static_cast<size_t>(m_objectRefSize));
    if (reference >= static_cast<uint32_t>(m_objectCount) || IsContainerAt(m_offsetTable[reference])) {
        return Yield::kNotScalar;
    }
    // What Visit and AppendObject do for a scalar, without a node to hold its text: the same
    // charges and checks in the same order. A scalar visits nothing, so the path is not needed.
    const int index = static_cast<int>(reference);
    if (!Charge(kNodeCost) || m_onPath[index] != 0 || m_path.size() >= kMaxDepth) {
        return Yield::kNothing;
    }
    const int32_t position = m_offsetTable[index];
    if (position < 0 || position >= m_length) {
        return Yield::kNothing;
    }
    return ScalarText(index, static_cast<uint64_t>(position), text) ? Yield::kText : Yield::kNothing;
}

void CParseBplist::ParseReference(uint64_t at, CJson* parent) {
    const uint32_t reference = ReadBigEndian(m_data + at, static_cast<size_t>(m_objectRefSize));
    if (reference >= static_cast<uint32_t>(m_objectCount)) {
        // Still counted as a visit, so that a long list of bad references is not free.
        Charge(kNodeCost);
        return;
    }
    Visit(static_cast<int>(reference), parent);
}

void CParseBplist::AppendDictionary(uint64_t start, uint64_t count, CJson* parent) {
    const uint64_t refSize = static_cast<uint64_t>(m_objectRefSize);
    // One child per entry (the caller's Fits bounds count by the input's length).
    if (parent != m_callerParent) {
        parent->m_children.reserve(parent->m_children.size() + count);
    }
    std::u16string text;
    for (uint64_t i = 0; i < count && m_budget >= 0; ++i) {
        // The key is whatever text its object yields first, as a node made from that text would
        // hold it. A scalar key (the usual case) is read without building that node.
        std::u16string key;
        const uint64_t keyAt = start + i * refSize;
        const Yield keyYield = ScalarAt(keyAt, text);
        if (keyYield == Yield::kText) {
            key = CJson::StoredValue(std::move(text));
        } else if (keyYield == Yield::kNotScalar) {
            auto keyRoot = std::make_unique<CJson>();
            ParseReference(keyAt, keyRoot.get());
            if (!keyRoot->m_children.empty()) {
                key = std::move(keyRoot->m_children.front()->m_value);
            }
        }

        // A scalar value gives the entry its text, as the single plain child it would yield.
        const uint64_t valueAt = start + (count + i) * refSize;
        const Yield valueYield = ScalarAt(valueAt, text);
        if (valueYield == Yield::kText) {
            Add(parent, std::move(key), CJson::StoredValue(std::move(text)));
            continue;
        }
        if (valueYield == Yield::kNothing) {
            Add(parent, std::move(key), std::u16string());
            continue;
        }

        auto value = std::make_unique<CJson>();
        ParseReference(valueAt, value.get());
        const std::vector<CJson*>& children = value->m_children;
        CJson* only = children.size() == 1 ? children.front() : nullptr;
        if (children.empty()) {
            Add(parent, std::move(key), value->m_value);
        } else if (only != nullptr && only->m_children.empty() && only->m_key.empty()) {
            Add(parent, std::move(key), only->m_value);
        } else if (parent == m_callerParent) {
            CJson* entry = parent->AddChild(key, std::u16string());
            for (CJson* child : value->ReleaseChildren()) {
                entry->AddChild(child);
            }
        } else {
            // The nodes were charged as they were built; they move to the entry as they are, so
            // a nested dictionary is not copied again at every level above it.
            CJson* entry = parent->AddChildUnlocked(std::move(key), std::u16string());
            std::vector<CJson*> moved;
            moved.swap(value->m_children);
            entry->m_children.reserve(moved.size());
            for (CJson* child : moved) {
                child->m_parent.store(nullptr, std::memory_order_relaxed);
                entry->AppendUnlocked(child);
            }
        }
    }
}
