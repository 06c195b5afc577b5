// Bounds checks on XML and binary property lists before they reach libplist.
#include "PlistInputCheck.h"

#include "BigEndian.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace ruvo::cf {

InputCheck CheckXmlNesting(std::string_view text) {
    // XML 1.0 has no place for a NUL byte, and libplist copies one into a string and then aborts
    // the process when the string is read.
    if (text.find('\0') != std::string_view::npos) return InputCheck::Malformed;
    // kMaxNestingDepth containers, inside <plist>, around one leaf element such as <string>.
    constexpr size_t kMaxElementDepth = kMaxNestingDepth + 2;
    size_t depth = 0;
    size_t i = 0;
    // Moves i past the next end marker after position from; false when there is none.
    auto skipPast = [&](size_t from, std::string_view end) {
        size_t at = text.find(end, from);
        if (at == std::string_view::npos) return false;
        i = at + end.size();
        return true;
    };
    while ((i = text.find('<', i)) != std::string_view::npos) {
        std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            if (!skipPast(i + 4, "-->")) return InputCheck::Malformed;
        } else if (rest.starts_with("<![CDATA[")) {
            if (!skipPast(i + 9, "]]>")) return InputCheck::Malformed;
        } else if (rest.starts_with("<?")) {
            if (!skipPast(i + 2, "?>")) return InputCheck::Malformed;
        } else if (rest.starts_with("<!")) {
            // DOCTYPE: libplist skips at least this far, so nothing it reads as a tag is missed.
            if (!skipPast(i + 2, ">")) return InputCheck::Malformed;
        } else {
            size_t close = text.find('>', i + 1);
            if (close == std::string_view::npos) return InputCheck::Malformed;
            if (text[i + 1] == '/') {
                if (depth > 0) --depth;
            } else if (text[close - 1] != '/') {
                if (++depth > kMaxElementDepth) return InputCheck::TooDeep;
            }
            i = close + 1;
        }
    }
    return InputCheck::Ok;
}

namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr size_t kTrailerSize = 32;

class BinaryChecker {
public:
    explicit BinaryChecker(std::string_view bytes)
        : m_data(reinterpret_cast<const uint8_t*>(bytes.data())), m_size(bytes.size()) {}

    InputCheck Run() {
        if (m_size < kBinaryMagic.size() + kTrailerSize ||
            std::string_view(reinterpret_cast<const char*>(m_data), kBinaryMagic.size()) != kBinaryMagic)
            return InputCheck::Malformed;
        const uint8_t* trailer = m_data + m_size - kTrailerSize;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        m_objectCount = ReadBigEndian(trailer + 8, 8);
        uint64_t top = ReadBigEndian(trailer + 16, 8);
        m_tableOffset = ReadBigEndian(trailer + 24, 8);
        uint64_t tableEnd = m_size - kTrailerSize;
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8) return InputCheck::Malformed;
        if (m_tableOffset < kBinaryMagic.size() || m_tableOffset >= tableEnd) return InputCheck::Malformed;
        // Every object takes at least one byte before the table, and one table entry.
        if (m_objectCount == 0 || m_objectCount > m_tableOffset - kBinaryMagic.size() ||
            m_objectCount > (tableEnd - m_tableOffset) / m_offsetSize || top >= m_objectCount)
            return InputCheck::Malformed;
        try {
            m_state.assign(m_objectCount, kUnvisited);
            m_expanded.assign(m_objectCount, 0);
        } catch (const std::bad_alloc&) {
            return InputCheck::TooLarge;
        }
        return Walk(top);
    }

private:
    // m_state per object: unvisited, on the current path, or done with (container depth + 1).
    static constexpr uint16_t kUnvisited = 0;
    static constexpr uint16_t kOnPath = 0xFFFF;

    struct Object {
        bool container = false;
        uint64_t refsAt = 0;    // offset of the first reference
        uint64_t refCount = 0;  // dictionaries: keys then values
    };

    struct Frame {
        uint64_t object;
        Object info;
        uint64_t next = 0;
        uint16_t deepestChild = 0;  // container depth of the deepest child
        uint64_t size = 1;          // nodes libplist would build for this object
    };

    // Reads the extent of object index; false when it does not fit before the offset table.
    bool Describe(uint64_t index, Object& out) const {
        uint64_t at = ReadBigEndian(m_data + m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (at < kBinaryMagic.size() || at >= m_tableOffset) return false;
        const uint64_t end = m_tableOffset;
        uint8_t marker = m_data[at];
        uint8_t low = marker & 0x0F;
        uint64_t pos = at + 1;
        // A length of 15 means the real length follows as an integer object.
        auto length = [&](uint64_t& count) {
            if (low != 0x0F) {
                count = low;
                return true;
            }
            if (pos >= end || (m_data[pos] >> 4) != 0x1 || (m_data[pos] & 0x0F) > 3) return false;
            size_t width = size_t{1} << (m_data[pos] & 0x0F);
            if (end - pos - 1 < width) return false;
            count = ReadBigEndian(m_data + pos + 1, width);
            pos += 1 + width;
            return true;
        };
        uint64_t count = 0;
        uint64_t payload = 0;
        switch (marker >> 4) {
        case 0x0:
            if (marker != 0x08 && marker != 0x09) return false;  // only false and true
            break;
        case 0x1:
            if (low > 4) return false;
            payload = uint64_t{1} << low;
            break;
        case 0x2:
            if (low < 2 || low > 3) return false;
            payload = uint64_t{1} << low;
            break;
        case 0x3:
            if (marker != 0x33) return false;
            payload = 8;
            break;
        case 0x4:
        case 0x5:
            if (!length(count)) return false;
            payload = count;
            break;
        case 0x6:
            if (!length(count) || count > (end - pos) / 2) return false;
            payload = count * 2;
            break;
        case 0x8: payload = uint64_t{low} + 1; break;
        case 0xA:
        case 0xD: {
            if (!length(count)) return false;
            uint64_t refs = (marker >> 4) == 0xD ? count * 2 : count;
            if (count > (end - pos) / m_refSize || refs > (end - pos) / m_refSize) return false;
            out.container = true;
            out.refsAt = pos;
            out.refCount = refs;
            payload = refs * m_refSize;
            break;
        }
        default: return false;
        }
        if (payload > end - pos) return false;
        // libplist keeps strings zero-terminated and aborts the process on one holding U+0000
        // (its getters assert that the length is the C length): such a string is refused here.
        if ((marker >> 4) == 0x5 && std::find(m_data + pos, m_data + pos + payload, 0) != m_data + pos + payload)
            return false;
        if ((marker >> 4) == 0x6) {
            for (uint64_t unit = 0; unit < count; ++unit)
                if (m_data[pos + 2 * unit] == 0 && m_data[pos + 2 * unit + 1] == 0) return false;
        }
        return true;
    }

    InputCheck Walk(uint64_t top) {
        const uint64_t sizeLimit = m_size;
        std::vector<Frame> path;
        // Starts an object: a scalar is finished at once, a container goes onto the path.
        auto start = [&](uint64_t index) -> InputCheck {
            Object info;
            if (!Describe(index, info)) return InputCheck::Malformed;
            if (!info.container) {
                m_state[index] = 1;
                m_expanded[index] = 1;
                return InputCheck::Ok;
            }
            if (path.size() >= kMaxNestingDepth) return InputCheck::TooDeep;
            m_state[index] = kOnPath;
            path.push_back(Frame{index, info});
            return InputCheck::Ok;
        };
        // Folds a finished child into its parent's depth and size.
        auto account = [&](Frame& parent, uint64_t child) {
            parent.deepestChild = std::max<uint16_t>(parent.deepestChild, m_state[child] - 1);
            parent.size = std::min<uint64_t>(parent.size + m_expanded[child], sizeLimit + 1);
        };
        try {
            path.reserve(kMaxNestingDepth);
            if (InputCheck r = start(top); r != InputCheck::Ok) return r;
            while (!path.empty()) {
                Frame& frame = path.back();
                if (frame.next < frame.info.refCount) {
                    uint64_t child = ReadBigEndian(m_data + frame.info.refsAt + frame.next * m_refSize, m_refSize);
                    ++frame.next;
                    if (child >= m_objectCount || m_state[child] == kOnPath) return InputCheck::Malformed;
                    if (m_state[child] == kUnvisited) {
                        size_t before = path.size();
                        if (InputCheck r = start(child); r != InputCheck::Ok) return r;
                        if (path.size() != before) continue;  // frame may have moved; resume with the child
                    }
                    account(path.back(), child);
                    continue;
                }
                uint16_t depth = frame.deepestChild + 1;
                if (depth > kMaxNestingDepth) return InputCheck::TooDeep;
                if (frame.size > sizeLimit) return InputCheck::TooLarge;
                m_state[frame.object] = depth + 1;
                m_expanded[frame.object] = static_cast<uint32_t>(frame.size);
                uint64_t finished = frame.object;
                path.pop_back();
                if (!path.empty()) account(path.back(), finished);
            }
        } catch (const std::bad_alloc&) {
            return InputCheck::TooLarge;
        }
        return InputCheck::Ok;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_offsetSize = 0;
    size_t m_refSize = 0;
    uint64_t m_objectCount = 0;
    uint64_t m_tableOffset = 0;
    std::vector<uint16_t> m_state;
    std::vector<uint32_t> m_expanded;  // saturates just above the input size
};

}  // namespace

InputCheck CheckBinaryStructure(std::string_view bytes) {
    if (bytes.size() > kMaxPropertyListBytes) return InputCheck::TooLarge;
    return BinaryChecker(bytes).Run();
}

}  // namespace ruvo::cf
