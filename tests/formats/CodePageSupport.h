// Test support for the format suites: the ANSI code page in force, and what a sanitizer build cannot follow.
#pragma once

#include <optional>
#include <string>

#include "TextEncoding.h"

// The format suites run once with RUVO_ANSI_CODEPAGE=UTF-8 and once with CP936; cases that
// depend on the code page carry the expectation for each and check the one in force.
enum class Page { Utf8, Cp936 };

inline std::optional<Page> PageInForce() {
    const std::string name = AnsiCodePage();
    if (name == "UTF-8") return Page::Utf8;
    if (name == "CP936") return Page::Cp936;
    return std::nullopt;
}

#define REQUIRE_KNOWN_PAGE(page)                    \
    const std::optional<Page> page = PageInForce(); \
    if (!page) GTEST_SKIP() << "expectations exist for UTF-8 and CP936, not " << AnsiCodePage()

// ThreadSanitizer follows at most 64 locks held by one thread at once. Writing or copying a
// deep tree holds one node lock per level by design, so the deep-tree cases are left to the
// other builds there.
#if defined(__SANITIZE_THREAD__)
#define SKIP_DEEP_TREES_UNDER_TSAN() GTEST_SKIP() << "deep trees hold more locks than ThreadSanitizer follows"
#else
#define SKIP_DEEP_TREES_UNDER_TSAN() (void)0
#endif
