// UTF-8 <-> UTF-16 conversion at the library's text boundary.
#include <gtest/gtest.h>

#include "host/tarn_util.h"

using tarn::util::ConvertStringtoUTF8;
using tarn::util::ConvertUTF8toString;

TEST(TextConversion, RoundTripsBasicAndSupplementaryCharacters) {
    const std::u16string wide = u"a\u00e9\u20ac\U0001F600z";  // 1, 2, 3 and 4 byte UTF-8 forms
    const std::string utf8 = ConvertStringtoUTF8(wide);
    EXPECT_EQ(utf8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(ConvertUTF8toString(utf8), wide);
    // The emoji is one surrogate pair.
    ASSERT_EQ(wide.size(), 6u);
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
}

TEST(TextConversion, LoneSurrogatesBecomeReplacementCharacter) {
    const std::u16string lonelyHigh = {u'x', char16_t(0xD800), u'y'};
    EXPECT_EQ(ConvertStringtoUTF8(lonelyHigh), "x\xEF\xBF\xBDy");
    const std::u16string lonelyLow = {char16_t(0xDC00)};
    EXPECT_EQ(ConvertStringtoUTF8(lonelyLow), "\xEF\xBF\xBD");
    const std::u16string highAtEnd = {u'a', char16_t(0xDBFF)};
    EXPECT_EQ(ConvertStringtoUTF8(highAtEnd), "a\xEF\xBF\xBD");
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacter) {
    const std::u16string fffd(1, char16_t(0xFFFD));
    EXPECT_EQ(ConvertUTF8toString(std::string("\xFF")), fffd);                      // invalid byte
    EXPECT_EQ(ConvertUTF8toString(std::string("a\xC3")), u"a" + fffd);              // truncated sequence
    EXPECT_EQ(ConvertUTF8toString(std::string("\xC0\xAF")), fffd + fffd);           // overlong form
    EXPECT_EQ(ConvertUTF8toString(std::string("\xED\xA0\x80")), fffd + fffd + fffd); // encoded surrogate
    EXPECT_EQ(ConvertUTF8toString(std::string("\x80x")), fffd + u"x");              // stray continuation

    // Text bound for XML is checked by the same rules: every malformed form
    // is repaired, well-formed text is left alone.
    std::string safe;
    for (const char* bad : {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\x80x", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        ASSERT_TRUE(tarn::util::makeXmlSafeUTF8(bad, safe)) << bad;
        EXPECT_EQ(safe, ConvertStringtoUTF8(ConvertUTF8toString(std::string(bad)))) << bad;
    }
    EXPECT_FALSE(tarn::util::makeXmlSafeUTF8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\t\r\nz", safe));
    ASSERT_TRUE(tarn::util::makeXmlSafeUTF8("\xEF\xBF\xBF\x1b[0m", safe));
    EXPECT_EQ(safe, "\xEF\xBF\xBD\xEF\xBF\xBD[0m");
}

TEST(TextConversion, NullAndLengthArguments) {
    EXPECT_EQ(ConvertStringtoUTF8(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(ConvertUTF8toString(static_cast<const char*>(nullptr)), u"");
    EXPECT_EQ(ConvertUTF8toString("abcdef", 3), u"abc");
}
