// Fuzz target for CParseBplist: any bytes must parse into a tree without a crash, a leak, undefined
// behaviour or a read outside the buffer, and the tree must be writable as the phone link writes it.
// Built twice: with libFuzzer (RUVO_FUZZ=ON, clang) and, for replaying tests/corpus/bplist in the
// test suite, with replay_main.cpp.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "CJson.h"
#include "CParseBplist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parser takes a signed length; nothing near that size is ever handed to it.
    if (size > (1u << 24)) return 0;
    CParseBplist parser;
    std::unique_ptr<CJson> root(parser.Parse(size == 0 ? nullptr : data, static_cast<int>(size)));
    // Parse promises a tree for every input, empty when nothing could be read.
    if (root == nullptr) __builtin_trap();
    // Writing is what the phone link does with the tree next; keep it to trees of a sane size
    // so that the fuzzer's time goes to the parser.
    if (root->GetChildCount() < 4096) root->ToString();
    return 0;
}
