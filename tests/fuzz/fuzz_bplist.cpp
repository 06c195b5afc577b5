// libFuzzer target for CParseBplist: any bytes must parse without a crash, a leak or a read
// outside the buffer, and the tree must be writable. Built by run_fuzz_bplist.sh, not by CMake.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "CJson.h"
#include "CParseBplist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24)) {
        return 0;
    }
    CParseBplist parser;
    std::unique_ptr<CJson> root(parser.Parse(size == 0 ? nullptr : data, static_cast<int>(size)));
    if (root == nullptr) {
        __builtin_trap();
    }
    // Writing is what the phone link does with the tree next; keep it to trees of a sane size
    // so that the fuzzer's time goes to the parser.
    if (root->GetChildCount() < 4096) {
        root->ToString();
    }
    return 0;
}
