// EscapeControls: a ringtone's title printed within one line, whatever it holds.
#include "ControlEscapes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(EscapeControls, ControlsBecomeEscapesAndTheRestStays) {
    struct Case {
        const char* desc;
        std::string in;
        std::string out;
    };
    for (const Case& c : std::vector<Case>{
             {"plain text", "Evening Bells", "Evening Bells"},
             {"quotes, brackets and a backslash stay", R"("a" [b] {c} \n)", R"("a" [b] {c} \n)"},
             {"tab, line feed, carriage return", "a\tb\nc\rd", R"(a\tb\nc\rd)"},
             {"other C0 and DEL", std::string("a\x01") + "b\x1b[31m" + "c\x7f", R"(a\u0001b\u001b[31mc\u007f)"},
             {"C1 controls in UTF-8", "a\xc2\x85" "b\xc2\x9b", R"(a\u0085b\u009b)"},
             {"other UTF-8 stays", "铃声 é \xc2\xa0", "铃声 é \xc2\xa0"},
             {"a NUL", std::string("a\0b", 3), R"(a\u0000b)"},
             {"a lone C2 at the end", "a\xc2", "a\xc2"},
         }) {
        EXPECT_EQ(ruvo::EscapeControls(c.in), c.out) << c.desc;
        EXPECT_EQ(ruvo::EscapeControls(c.in).find('\n'), std::string::npos) << c.desc;
    }
}

}  // namespace
