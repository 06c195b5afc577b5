// Fuzz target for the phone link's JSON reader: any bytes, taken as the UTF-8 text of a link file,
// must read into a tree that can be written back, copied and deleted without a crash, a leak or
// undefined behaviour. Built with libFuzzer (RUVO_FUZZ=ON, clang) and, for replaying
// tests/corpus/json in the test suite, with replay_main.cpp.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "CJson.h"
#include "TextEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Link files are about a kilobyte; the reader's cost grows with length times depth, so very
    // long inputs would only slow the fuzzer down.
    if (size > (1u << 20)) return 0;
    const std::u16string text = Utf8ToText(std::string_view(reinterpret_cast<const char*>(data), size));
    CJson::CheckJson(text);
    std::unique_ptr<CJson> root(CJson::Parse(text));
    // Parse promises a tree for every text.
    if (root == nullptr) __builtin_trap();
    root->ToString();
    std::unique_ptr<CJson> copy(root->Clone());
    if (copy == nullptr) __builtin_trap();
    copy->ToString();
    return 0;
}
