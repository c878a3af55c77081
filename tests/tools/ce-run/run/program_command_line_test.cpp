// The UTF-16 command line ce-run gives a program: quoted so that the
// Windows C runtime splits it back into the same arguments.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_command_line.h"

namespace {

TEST(ProgramCommandLine, QuotesAsTheWindowsRuntimeParses)
{
    struct Case {
        std::vector<std::string> arguments;
        std::u16string line;
    };
    const Case cases[] = {
        {{}, u""},
        {{"a", "b"}, u"a b"},
        {{""}, u"\"\""},
        {{"", "x"}, u"\"\" x"},
        {{"two words"}, u"\"two words\""},
        {{"tab\there"}, u"\"tab\there\""},
        {{"say \"hi\""}, u"\"say \\\"hi\\\"\""},
        {{"C:\\dir\\"}, u"C:\\dir\\"},
        {{"C:\\my dir\\"}, u"\"C:\\my dir\\\\\""},
        {{"a\\\\\"b"}, u"\"a\\\\\\\\\\\"b\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(program_command_line::build(c.arguments), c.line);
    }
}

TEST(ProgramCommandLine, Utf8BecomesUtf16AndBadBytesReplacementCharacters)
{
    struct Case {
        const char *argument;
        std::u16string line;
    };
    const Case cases[] = {
        {"caf\xc3\xa9", u"caf\u00e9"},
        {"\xe2\x82\xac", u"\u20ac"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xff", u"\uFFFD"},
        {"\xc0\x80", u"\uFFFD\uFFFD"},              // overlong NUL
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},    // a UTF-16 surrogate
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xe2\x82", u"\uFFFD\uFFFD"},              // cut short
        {"a\x80z", u"a\uFFFDz"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argument);
        EXPECT_EQ(program_command_line::build({c.argument}), c.line);
    }
}

}  // namespace
