// CParseBplist: reads a binary property list ("bplist00") held in memory into a CJson tree.
#pragma once

#include <cstdint>
#include <memory>
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
    // empty node is created and returned (the caller owns it).
    CJson* ParseObject(int index, CJson* parent);

private:
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
};
