// Checks on property-list bytes from outside, made before libplist reads them. libplist 2.2's XML
// and binary readers recurse once per nesting level without any limit (a deep enough document
// overflows the stack), and its binary reader copies an object once per reference to it (a small
// file whose arrays all point twice at the next one expands exponentially).
#ifndef RUVO_CF_PLIST_INPUT_CHECK_H
#define RUVO_CF_PLIST_INPUT_CHECK_H

#include <cstddef>
#include <string_view>

namespace ruvo::cf {

// Largest property list read or written.
inline constexpr size_t kMaxPropertyListBytes = size_t{64} << 20;
// Deepest nesting of arrays and dictionaries read or written; the top container is level 1.
inline constexpr size_t kMaxNestingDepth = 512;

enum class InputCheck { Ok, Malformed, TooDeep, TooLarge };

// Element nesting of XML text, scanned the way libplist delimits tags (a tag ends at its first
// '>'; comments, CDATA, processing instructions and the DOCTYPE are skipped). Only the nesting
// is judged here; libplist judges the rest.
InputCheck CheckXmlNesting(std::string_view text);

// The structure of a binary property list (bplist00): trailer, offset table, every reachable
// object's extent, references in range, no cycles, nesting within kMaxNestingDepth, and the
// tree libplist would build no larger than the input in bytes (every honest reference costs at
// least one byte, so only shared containers can exceed that).
InputCheck CheckBinaryStructure(std::string_view bytes);

}  // namespace ruvo::cf

#endif
