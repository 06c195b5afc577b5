// ReferenceBplistParser: the previous binary property-list reader, unchanged but for its name (tests only).
#include "ReferenceBplist.h"

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

std::u16string RealText(double value) {
    // "%lf" of the largest double is 317 characters.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%lf", value);
    return AsciiText(buffer);
}

}  // namespace

ReferenceBplistParser::~ReferenceBplistParser() = default;

bool ReferenceBplistParser::Fits(uint64_t start, uint64_t size) const {
    const uint64_t length = static_cast<uint64_t>(m_length);
    return start <= length && size <= length - start;
}

bool ReferenceBplistParser::Charge(int64_t cost) {
    if (m_budget < cost) {
        m_budget = -1;
        return false;
    }
    m_budget -= cost;
    return true;
}

void ReferenceBplistParser::Reset() {
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
    m_texts.clear();
    m_budget = 0;
}

CJson* ReferenceBplistParser::Parse(const unsigned char* data, int length) {
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
    m_budget = std::max(kWorkBudget, kWorkPerInputByte * static_cast<int64_t>(length));

    CJson* root = ParseObject(m_topObject, nullptr);
    // The buffer is borrowed for this call only; the converted texts are not needed again.
    m_data = nullptr;
    m_length = 0;
    m_texts.clear();
    return root;
}

CJson* ReferenceBplistParser::ParseObject(int index, CJson* parent) {
    if (parent == nullptr) {
        parent = new CJson();
    }
    if (m_data == nullptr || index < 0 || index >= m_objectCount) {
        return parent;
    }
    // Charged before the path checks, so that references the checks reject are not free.
    if (!Charge(kNodeCost) || m_onPath[index] != 0 || m_path.size() >= kMaxDepth) {
        return parent;
    }
    m_path.push_back(index);
    m_onPath[index] = 1;
    AppendObject(index, parent);
    m_onPath[index] = 0;
    m_path.pop_back();
    return parent;
}

bool ReferenceBplistParser::ReadCount(uint64_t position, uint64_t& count, uint64_t& header) const {
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

void ReferenceBplistParser::AppendText(int index, uint64_t start, uint64_t size, CJson* parent) {
    if (!Fits(start, size)) {
        return;
    }
    const char* bytes = reinterpret_cast<const char*>(m_data + start);
    if (const void* zero = std::memchr(bytes, 0, size)) {
        size = static_cast<uint64_t>(static_cast<const char*>(zero) - bytes);
    }
    if (!Charge(kCharCost * static_cast<int64_t>(size))) {
        return;
    }
    // Keys are shared by every dictionary that uses them (five per tone of a catalogue), so an
    // object's text is converted once per parse. The cache holds no more text than the budget
    // has already been charged for.
    auto cached = m_texts.find(index);
    if (cached == m_texts.end()) {
        cached = m_texts.emplace(index, AnsiToText(std::string_view(bytes, size))).first;
    }
    parent->AddChild(std::u16string(), cached->second);
}

void ReferenceBplistParser::AppendObject(int index, CJson* parent) {
    const int32_t position = m_offsetTable[index];
    if (position < 0 || position >= m_length) {
        return;
    }
    const uint64_t pos = static_cast<uint64_t>(position);
    const unsigned char marker = m_data[pos];
    const unsigned kind = marker >> 4;
    const unsigned n = marker & 0x0F;
    uint64_t count = 0;
    uint64_t header = 1;

    switch (kind) {
    case 0x0:
        // false and true; null, fill and the undefined markers add nothing.
        if (marker == 0x08) {
            parent->AddChild(std::u16string(), int32_t{0});
        } else if (marker == 0x09) {
            parent->AddChild(std::u16string(), int32_t{1});
        }
        return;
    case 0x1: {
        const uint64_t size = uint64_t{1} << n;
        if (Fits(pos + 1, size)) {
            parent->AddChild(std::u16string(), ReadBigEndian(m_data + pos + 1, size));
        }
        return;
    }
    case 0x2:
        if (n == 2 && Fits(pos + 1, 4)) {
            const uint32_t bits = ReadBigEndian(m_data + pos + 1, 4);
            parent->AddChild(std::u16string(), RealText(std::bit_cast<float>(bits)));
        } else if (n == 3) {
            AppendDouble(pos + 1, parent);
        }
        return;
    case 0x3:
        if (n == 3) {
            AppendDouble(pos + 1, parent);
        } else {
            // Not a date: read as data of n bytes.
            AppendText(index, pos + 1, n, parent);
        }
        return;
    case 0x4:
    case 0x5:
        if (ReadCount(pos, count, header)) {
            AppendText(index, pos + header, count, parent);
        }
        return;
    case 0x6:
        if (ReadCount(pos, count, header) && Fits(pos + header, count * 2) &&
            Charge(kCharCost * static_cast<int64_t>(count))) {
            std::u16string text(count, u'\0');
            const unsigned char* units = m_data + pos + header;
            for (uint64_t i = 0; i < count; ++i) {
                text[i] = static_cast<char16_t>((units[2 * i] << 8) | units[2 * i + 1]);
            }
            parent->AddChild(std::u16string(), text);
        }
        return;
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
    default:
        // UIDs and the markers the format leaves undefined add nothing.
        return;
    }
}

void ReferenceBplistParser::AppendDouble(uint64_t start, CJson* parent) {
    if (!Fits(start, 8)) {
        return;
    }
    uint64_t bits = 0;
    for (uint64_t i = 0; i < 8; ++i) {
        bits = (bits << 8) | m_data[start + i];
    }
    parent->AddChild(std::u16string(), RealText(std::bit_cast<double>(bits)));
}

void ReferenceBplistParser::ParseReference(uint64_t at, CJson* parent) {
    const uint32_t reference = ReadBigEndian(m_data + at, static_cast<size_t>(m_objectRefSize));
    if (reference >= static_cast<uint32_t>(m_objectCount)) {
        // Still counted as a visit, so that a long list of bad references is not free.
        Charge(kNodeCost);
        return;
    }
    ParseObject(static_cast<int>(reference), parent);
}

void ReferenceBplistParser::AppendDictionary(uint64_t start, uint64_t count, CJson* parent) {
    const uint64_t refSize = static_cast<uint64_t>(m_objectRefSize);
    for (uint64_t i = 0; i < count && m_budget >= 0; ++i) {
        std::u16string key;
        {
            // The key is whatever text its object yields first.
            auto keyRoot = std::make_unique<CJson>();
            ParseReference(start + i * refSize, keyRoot.get());
            if (CJson* first = keyRoot->GetChild(0)) {
                key = first->GetValue();
            }
        }

        auto value = std::make_unique<CJson>();
        ParseReference(start + (count + i) * refSize, value.get());
        const int children = value->GetChildCount();
        CJson* only = children == 1 ? value->GetChild(0) : nullptr;
        if (children == 0) {
            parent->AddChild(key, value->GetValue());
        } else if (only != nullptr && only->GetChildCount() == 0 && only->GetKey().empty()) {
            parent->AddChild(key, only->GetValue());
        } else {
            // The nodes were charged as they were built; they move to the entry as they are, so
            // a nested dictionary is not copied again at every level above it.
            CJson* entry = parent->AddChild(key, std::u16string());
            for (CJson* child : value->ReleaseChildren()) {
                entry->AddChild(child);
            }
        }
    }
}
