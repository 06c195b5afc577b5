// IconvConverter: iconv (glibc) between one named codeset and UTF-16 text, with replacement rules.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

// Opens both directions between a codeset (an iconv name such as "UTF-8" or "CP936") and the
// UTF-16 of std::u16string, and closes them again in the destructor. A conversion never fails:
//  - text to bytes: a character the codeset cannot represent (or a lone surrogate) becomes the
//    codeset's "?", as a legacy code page writes its default character;
//  - bytes to text: every byte that does not start a valid sequence becomes U+FFFD, and so does
//    a sequence cut off by the end of the input; conversion continues after it.
// One instance is not meant to be shared between threads. Opening one costs far more than a
// short conversion, so ForThisThread keeps one per codeset and thread for reuse.
class IconvConverter {
public:
    explicit IconvConverter(const std::string& codeset);
    ~IconvConverter();

    IconvConverter(const IconvConverter&) = delete;
    IconvConverter& operator=(const IconvConverter&) = delete;

    // False when iconv does not know the codeset; the conversions then give empty results.
    bool IsOpen() const;

    std::u16string ToText(std::string_view bytes);
    std::string FromText(std::u16string_view text);

    // Whether iconv can convert between the codeset and UTF-16 in both directions.
    static bool Supports(const std::string& codeset);

    // The calling thread's converter for the codeset, opened at its first use and kept until
    // the thread ends. Each codeset name gets its own, so a thread that changes code pages
    // keeps a few.
    static IconvConverter& ForThisThread(const std::string& codeset);

private:
    // ToText through iconv, whatever the bytes.
    std::u16string ConvertToText(std::string_view bytes);

    iconv_t m_toText;
    iconv_t m_fromText;
    std::string m_defaultChar;  // "?" in the codeset's own bytes
    bool m_asciiTransparent = false;  // ASCII is the same bytes in the codeset
};
