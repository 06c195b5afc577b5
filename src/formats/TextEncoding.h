// Text conversions at the system's borders: ANSI code page, UTF-8 and URL encoding of UTF-16 text.
#pragma once

#include <string>
#include <string_view>

// Text inside the system is UTF-16 (std::u16string); bytes are std::string. The byte results
// below are zero-terminated through std::string's own terminator; the terminator is not
// counted in size().
//
// The "ANSI code page" is the codeset of the user's locale (a C/POSIX locale counts as UTF-8),
// or the legacy code page named by the environment variable RUVO_ANSI_CODEPAGE (for example
// CP936), or the one set with SetAnsiCodePage. One setting serves every conversion, so
// TextToAnsi, AnsiToUtf8 and the ANSI branch of Utf8OrAnsiToText always agree. The code page
// is decided at its first use and again only after SetAnsiCodePage changes the override or
// ReloadAnsiCodePage is called (by a process that changes RUVO_ANSI_CODEPAGE, LC_ALL,
// LC_CTYPE or LANG while it runs); conversions read no environment. UTF-8 is converted here,
// other code pages through iconv. All functions here may be called from any thread.

// Bytes up to the first zero (or the end of the view): UTF-8 when they are shaped like UTF-8,
// decoded with the ANSI code page otherwise.
std::u16string Utf8OrAnsiToText(std::string_view bytes);

// ANSI bytes up to the first zero, re-encoded as UTF-8.
std::string AnsiToUtf8(std::string_view ansi);

// The text in the ANSI code page; characters it cannot represent become "?".
std::string TextToAnsi(const std::u16string& text);

// TextToAnsi, then AnsiToUtf8, then every byte of 0x80 or more written as %XX (upper case).
std::u16string UrlEncodeText(const std::u16string& text);

// Plain conversions used wherever the border is known to be UTF-8 or ANSI.
std::u16string Utf8ToText(std::string_view utf8);
std::string TextToUtf8(std::u16string_view text);
std::u16string AnsiToText(std::string_view ansi);

// The iconv name of the ANSI code page in force.
std::string AnsiCodePage();
// Overrides the ANSI code page for this process (empty text: back to environment and locale).
void SetAnsiCodePage(const std::string& codepage);
// Decides the code page again from the environment and the locale at its next use.
void ReloadAnsiCodePage();
