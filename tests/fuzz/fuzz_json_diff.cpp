// Differential fuzz target for the JSON reader and writer: any bytes, taken as the UTF-8 text of
// a link file, must give exactly the tree the previous reader gives (depth cap included), and
// that tree must be written exactly as the previous writer writes it; Mask must agree too. Any
// difference stops the run. Built like fuzz_json (see CMakeLists.txt); its stored inputs are
// the json target's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "CJson.h"
#include "ReferenceJson.h"
#include "TextEncoding.h"

namespace {

[[noreturn]] void Differ(const char* what, const std::string& where) {
    std::fprintf(stderr, "json_diff: %s differs from the previous code%s%s\n", what, where.empty() ? "" : " at ",
                 where.c_str());
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The previous reader's cost grows with length times depth; inputs of a few kilobytes are
    // where shapes differ, and the stored large inputs are still replayed whole.
    if (size > (1u << 20)) return 0;
    const std::u16string text = Utf8ToText(std::string_view(reinterpret_cast<const char*>(data), size));

    std::unique_ptr<CJson> ours(CJson::Parse(text));
    std::unique_ptr<CJson> theirs(reference::ParseJson(text));
    std::string where;
    if (!reference::SameTree(ours.get(), theirs.get(), &where)) Differ("the tree", where);
    if (ours->ToString() != reference::ToString(theirs.get())) Differ("the written text", "");

    // The writer on a tree the reader did not make: the text itself as one keyed value, and
    // under a keyed container (where empty brackets are rewritten).
    CJson keyed(u"k", text);
    if (keyed.ToString() != reference::ToString(&keyed)) Differ("the text of a keyed value", "");
    CJson holder;
    CJson* container = holder.AddChild(u"list", std::u16string());
    container->AddChild(std::u16string(), text);
    container->AddChild(text, std::u16string());
    if (holder.ToString() != reference::ToString(&holder)) Differ("the text of a keyed container", "");

    if (CJson::Mask(text) != reference::Mask(text)) Differ("Mask", "");

    std::unique_ptr<CJson> copy(ours->Clone());
    std::unique_ptr<CJson> referenceCopy(theirs->Clone());
    if (!reference::SameTree(copy.get(), referenceCopy.get(), &where)) Differ("the copy", where);
    return 0;
}
