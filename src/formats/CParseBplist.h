// CParseBplist: reads a binary property list ("bplist00") held in memory into a CJson tree.
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
class CParseBplist {
public:
    CParseBplist() = default;
    virtual ~CParseBplist();

    // Parses a complete buffer; the caller owns the result. The "bplist00" header is not
    // checked here. The buffer must outlive the call.
    CJson* Parse(const unsigned char* data, int length);
    // Appends what object index yields to parent and returns parent; with no parent a new
    // empty node is created and returned (the caller owns it). Only the given parent is
    // changed through its locks; the nodes made for it are built without them.
    CJson* ParseObject(int index, CJson* parent);

private:
    void Reset();
    // Visits object index for parent (ParseObject without the choice of parent).
    void Visit(int index, CJson* parent);
    // Adds a keyed child: through the public, locked form to the caller's parent, unlocked to
    // the nodes of this parse.
    void Add(CJson* parent, std::u16string key, std::u16string value);
    // True when [start, start + size) lies inside the buffer.
    bool Fits(uint64_t start, uint64_t size) const;
    // Takes cost from the work budget of this parse; false (and the budget spent) when short.
    bool Charge(int64_t cost);
    // Count and header length of the object at position; false when the extended count runs
    // past the buffer.
    bool ReadCount(uint64_t position, uint64_t& count, uint64_t& header) const;
    void AppendObject(int index, CJson* parent);
    // The text a scalar object (anything but an array, set or dictionary) at pos yields; false
    // when it yields nothing.
    bool ScalarText(int index, uint64_t pos, std::u16string& text);
    // Data and ASCII strings: the bytes up to the first zero, in the ANSI code page.
    bool TextOf(int index, uint64_t start, uint64_t size, std::u16string& text);
    bool DoubleText(uint64_t start, std::u16string& text) const;
    bool IsContainerAt(int32_t position) const;
    void AppendDictionary(uint64_t start, uint64_t count, CJson* parent);
    // What the object whose reference is stored at byte position at yields, when it is a
    // scalar: visited with the charges and checks of ParseReference, but without a node.
    enum class Yield { kNotScalar, kNothing, kText };
    Yield ScalarAt(uint64_t at, std::u16string& text);
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
    // Per object: 1 once its text has been converted (data and ASCII strings).
    std::vector<uint8_t> m_seen;
    // Text of the data and ASCII-string objects met more than once, by object index.
    std::unordered_map<int, std::u16string> m_texts;
    // The parent given to ParseObject, which others may reach; null during Parse.
    CJson* m_callerParent = nullptr;
    // Work left for this parse (see the .cpp); negative once spent.
    int64_t m_budget = 0;
};
