// Unicode simple case folding, for comparing strings without regard to case.
#ifndef RUVO_CF_CASE_FOLDING_H
#define RUVO_CF_CASE_FOLDING_H

#include <cstdint>

namespace ruvo::cf {

// The simple case folding of one code point (itself when it has none): 'A' -> 'a', 'Σ' and 'ς' -> 'σ',
// the Kelvin sign -> 'k', Deseret capitals -> small letters.
char32_t FoldCase(char32_t c) noexcept;

}  // namespace ruvo::cf

#endif
