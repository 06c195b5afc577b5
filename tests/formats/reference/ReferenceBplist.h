// ReferenceBplistParser: the binary property-list reader as it was before it built its trees without
// locks, kept for tests only: the differential tests hold today's CParseBplist to its trees.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class CJson;

// One instance per parse, used by one thread. Every value becomes text; arrays are flattened
// into their parent and dictionaries become keyed children (see the .cpp for the shapes).
// The input is untrusted: everything read from it is checked against the buffer.
class ReferenceBplistParser {
public:
    ReferenceBplistParser() = default;
    virtual ~ReferenceBplistParser();

    // Parses a complete buffer; the caller owns the result. The "bplist00" header is not
    // checked here. The buffer must outlive the call.
    CJson* Parse(const unsigned char* data, int length);
    // Appends what object index yields to parent and returns parent; with no parent a new
    // empty node is created and returned (the caller owns it).
    CJson* ParseObject(int index, CJson* parent);

private:
    void Reset();
    // True when [start, start + size) lies inside the buffer.
    bool Fits(uint64_t start, uint64_t size) const;
    // Takes cost from the work budget of this parse; false (and the budget spent) when short.
    bool Charge(int64_t cost);
    // Count and header length of the object at position; false when the extended count runs
    // past the buffer.
    bool ReadCount(uint64_t position, uint64_t& count, uint64_t& header) const;
    void AppendObject(int index, CJson* parent);
    // Data and ASCII strings: the bytes up to the first zero, in the ANSI code page.
    void AppendText(int index, uint64_t start, uint64_t size, CJson* parent);
    void AppendDouble(uint64_t start, CJson* parent);
    void AppendDictionary(uint64_t start, uint64_t count, CJson* parent);
    // Parses the object whose reference is stored at byte position at into parent.
    void ParseReference(uint64_t at, CJson* parent);

    int32_t m_offsetIntSize = 0;
    int32_t m_objectRefSize = 0;
    int32_t m_objectCount = 0;
    int32_t m_topObject = 0;
    int32_t m_offsetTableOffset = 0;
    std::unique_ptr<int32_t[]> m_offsetTable;
    const unsigned char* m_data = nullptr;
    int m_length = 0;
    // Objects on the current path from the top object; guards against reference cycles.
    std::vector<int> m_path;
    // Per object: 1 while it is on m_path, so the cycle check does not search the path.
    std::vector<uint8_t> m_onPath;
    // Text of the data and ASCII-string objects converted so far, by object index.
    std::unordered_map<int, std::u16string> m_texts;
    // Work left for this parse (see the .cpp); negative once spent.
    int64_t m_budget = 0;
};
