// The stand-in's UTF-8 conversion, which the wmain entry and the argument dumper also use, the dumper on Windows
// too: there wide text is UTF-16, on Linux one unit a character.
#include "text_internal.h"

#include <gtest/gtest.h>

#include <string>

using platform::detail::toUtf8;
using platform::detail::utf8ToWide;

namespace {

const std::string kReplacement = "\xef\xbf\xbd";

std::string replacements(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += kReplacement;
    return out;
}

TEST(PlatformText, EncodesEveryLengthAndReplacesUnitsThatAreNoCharacter) {
    struct Case {
        const char* name;
        std::u16string units;
        std::wstring wide;
        std::string utf8;
    };
    const Case cases[] = {
        {"one to four bytes", u"A\u00e9\u20ac\U0001F600", L"A\u00e9\u20ac\U0001F600",
         "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"the largest of each length", u"\u007f\u07ff\uffff\U0010FFFF", L"\u007f\u07ff\uffff\U0010FFFF",
         "\x7f\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
        {"a zero inside", std::u16string(u"a\0b", 3), std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
        {"lone high surrogate, then a letter", {char16_t(0xD83D), u'a'}, {wchar_t(0xD83D), L'a'}, kReplacement + "a"},
        {"lone high surrogate at the end", {char16_t(0xD83D)}, {wchar_t(0xD83D)}, kReplacement},
        {"lone low surrogate", {char16_t(0xDE00)}, {wchar_t(0xDE00)}, kReplacement},
        {"low before high", {char16_t(0xDE00), char16_t(0xD83D)}, {wchar_t(0xDE00), wchar_t(0xD83D)},
         replacements(2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toUtf8(c.units), c.utf8);
        EXPECT_EQ(toUtf8(c.wide), c.utf8);
        EXPECT_EQ(toUtf8(c.wide.c_str()), c.utf8.substr(0, c.utf8.find('\0')));
    }
    EXPECT_EQ(toUtf8(static_cast<const wchar_t*>(nullptr)), "");
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(toUtf8(std::wstring{static_cast<wchar_t>(0x110000), L'z'}), kReplacement + "z");
    }
}

TEST(PlatformText, DecodesWellFormedTextAndEachStrayByteAsOneReplacement) {
    struct Case {
        const char* name;
        std::string utf8;
        std::wstring wide;
    };
    const std::wstring r(1, wchar_t(0xFFFD));
    const Case cases[] = {
        {"one to four bytes", "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", L"A\u00e9\u20ac\U0001F600"},
        {"the largest character", "\xf4\x8f\xbf\xbf", L"\U0010FFFF"},
        {"a stray continuation byte", "a\x80z", L"a" + r + L"z"},
        {"an overlong two-byte form", "\xc0\xaf", r + r},
        {"an overlong three-byte form", "\xe0\x80\xaf", r + r + r},
        {"a surrogate", "\xed\xa0\x80", r + r + r},
        {"a sequence cut by the end", "\xe2\x82", r + r},
        {"a sequence cut by a letter", "\xe2\x82z", r + r + L"z"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", r + r + r + r},
        {"a byte that never leads", "\xf5\xff", r + r},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(utf8ToWide(c.utf8), c.wide);
    }
}

TEST(PlatformText, WellFormedTextSurvivesTheRoundTrip) {
    const std::string text = "Checkpoint \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf";
    EXPECT_EQ(toUtf8(utf8ToWide(text)), text);
}

}  // namespace
