// Handles, accessors, options and the version check through the public API.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "peloxImp.h"

namespace {

std::u16string text(int32_t string) {
    const pelox_char* t = string_getText(string);
    return t ? std::u16string(t) : std::u16string(u"<null>");
}

int32_t sizeOf(int32_t type, int32_t handle) {
    int32_t n = -12345;
    const int32_t rc = peloxImp_getObjectSize(type, handle, &n);
    return rc == 0 ? n : rc;
}

}  // namespace

TEST(Handles, NumberedPerTypeAndNeverReused) {
    const int32_t a1 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    const int32_t a2 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    EXPECT_GT(a1, 0);
    EXPECT_EQ(a2, a1 + 1);
    for (int type = 1; type <= 4; ++type) EXPECT_GT(peloxImp_createObject(type), 0);
    EXPECT_EQ(peloxImp_createObject(0), 0);
    EXPECT_EQ(peloxImp_createObject(5), 0);

    EXPECT_EQ(sizeOf(PELOX_OBJECT_STRING_ARRAY, a2), 0);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, a2);
    EXPECT_EQ(sizeOf(PELOX_OBJECT_STRING_ARRAY, a2), PELOX_E_NO_STRING_ARRAY);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, a2);  // unknown: nothing happens
    peloxImp_removeObject(9, a1);
    EXPECT_GT(peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY), a2);
}

TEST(Handles, SizesAndUnknownHandles) {
    int32_t n = 77;
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, 0x7fff0000, &n), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(n, 77);
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING, 0x7fff0000, &n), PELOX_E_NO_STRING);
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, 0x7fff0000, &n), PELOX_E_NO_PROTOCOL_INFO);
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_RESULT_INFO, 0x7fff0000, &n), PELOX_E_NO_RESULT_INFO);
    EXPECT_EQ(peloxImp_getObjectSize(7, 1, &n), PELOX_E_UNKNOWN_TYPE);
    EXPECT_EQ(n, 77);

    const int32_t s = peloxImp_createObject(PELOX_OBJECT_STRING);
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING, s, nullptr), PELOX_E_NULL_ARGUMENT);
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_VERSION, s), 0);
    EXPECT_EQ(sizeOf(PELOX_OBJECT_STRING, s), 7);
    const int32_t p = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    EXPECT_EQ(sizeOf(PELOX_OBJECT_PROTOCOL_INFO, p), 0);
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, p);
    EXPECT_EQ(sizeOf(PELOX_OBJECT_PROTOCOL_INFO, p), PELOX_E_NO_PROTOCOL_INFO);

    // A result info is only emptied by removal; its handle stays valid.
    const int32_t r = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, r);
    EXPECT_EQ(sizeOf(PELOX_OBJECT_RESULT_INFO, r), 0);
    const int32_t names = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    EXPECT_EQ(resultInfo_getNames(r, names), 0);
}

TEST(Accessors, StringsAndArrays) {
    const int32_t s = peloxImp_createObject(PELOX_OBJECT_STRING);
    const pelox_char* empty = string_getText(s);
    ASSERT_NE(empty, nullptr);  // never null for a registered string
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(string_getText(0x7fff0000), nullptr);
    EXPECT_EQ(string_getBoolValue(0x7fff0000), 0);
    EXPECT_EQ(string_getBoolValue(s), 0);

    // Writing "8.5.0.0" and reading it back as a boolean: not a boolean word.
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_VERSION, s), 0);
    EXPECT_EQ(text(s), u"8.5.0.0");
    EXPECT_EQ(string_getBoolValue(s), 0);
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, s), 0);  // "10" or more: non-zero integer
    EXPECT_EQ(string_getBoolValue(s), 1);

    const int32_t a = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    EXPECT_EQ(stringArray_getStringAtIndex(a, 0, s), PELOX_E_INDEX);
    EXPECT_EQ(text(s), u"");  // emptied before the check
    EXPECT_EQ(stringArray_getStringAtIndex(a, 4294967295u, s), PELOX_E_INDEX);
    EXPECT_EQ(stringArray_getStringAtIndex(a, 0, 0x7fff0000), PELOX_E_NO_STRING);
    EXPECT_EQ(stringArray_getStringAtIndex(0x7fff0000, 0, s), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(stringArray_getTextAtIndex(a, 0), nullptr);
    EXPECT_EQ(stringArray_getTextAtIndex(a, 4294967295u), nullptr);
    EXPECT_EQ(stringArray_getTextAtIndex(0x7fff0000, 0), nullptr);
}

TEST(Accessors, ResultInfoChecksInOrder) {
    const int32_t r = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    const int32_t a = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    EXPECT_EQ(resultInfo_getNames(r, 0x7fff0000), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(resultInfo_getNames(0x7fff0000, a), PELOX_E_NO_RESULT_INFO);
    EXPECT_EQ(resultInfo_getValues(r, u"x", 0x7fff0000), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(resultInfo_getValues(r, nullptr, a), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(resultInfo_getValues(0x7fff0000, u"x", a), PELOX_E_NO_RESULT_INFO);
    EXPECT_EQ(resultInfo_getValues(r, u"x", a), PELOX_E_NO_RESULT_NAME);
}

TEST(Options, RetryLimitsAndInformation) {
    const int32_t s = peloxImp_createObject(PELOX_OBJECT_STRING);
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"3"), 0);
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, s), 0);
    EXPECT_EQ(text(s), u"10");
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"25"), 0);
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, s), 0);
    EXPECT_EQ(text(s), u"25");
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"99999999999"), 0);  // the largest, shown unsigned
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, s), 0);
    EXPECT_EQ(text(s), u"4294967295");
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"junk"), 0);  // reads as 0: back to 10
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, s), 0);
    EXPECT_EQ(text(s), u"10");

    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"50"), 0);
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_PAUSE, s), 0);
    EXPECT_EQ(text(s), u"200");
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"1500"), 0);
    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_RETRY_PAUSE, s), 0);
    EXPECT_EQ(text(s), u"1500");
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"200"), 0);

    EXPECT_EQ(pelox_setPeloxOptions(99, u"x"), PELOX_E_UNKNOWN_OPTION);
    EXPECT_EQ(pelox_setPeloxOptions(108, u"x"), PELOX_E_UNKNOWN_OPTION);
    for (int option : {102, 105, 106, 107}) EXPECT_EQ(pelox_setPeloxOptions(option, nullptr), 0) << option;
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_THROW_ON_FAILURE, u"false"), 0);
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_VALIDATION_NOTICES, u"false"), 0);

    ASSERT_EQ(pelox_getPeloxInfo(PELOX_INFO_VERSION, s), 0);
    EXPECT_EQ(text(s), u"8.5.0.0");
    EXPECT_EQ(pelox_getPeloxInfo(201, s), PELOX_E_UNKNOWN_INFO);
    EXPECT_EQ(text(s), u"");
    EXPECT_EQ(pelox_getPeloxInfo(PELOX_INFO_VERSION, 0x7fff0000), PELOX_E_NO_STRING);
}

TEST(Version, ServedVersions) {
    for (const char* v : {"8.5.0.0", "8.5", "8", "8.4.9.9", "7.0", "6.1.2.3"})
        EXPECT_EQ(peloxImp_checkVersion(v), 0) << v;
    for (const char* v : {"8.5.0.1", "8.6", "9.0.0.0", "5.9.9.9", "", "8.5.0.0.1", "8.5."})
        EXPECT_EQ(peloxImp_checkVersion(v), PELOX_E_UNSUPPORTED) << v;
    EXPECT_EQ(peloxImp_checkVersion(nullptr), PELOX_E_UNSUPPORTED);
}

TEST(Errors, UnknownRecordsAndHandles) {
    const int32_t a = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    EXPECT_EQ(pelox_getPeloxErrors(0, a), PELOX_E_NO_ERROR_RECORD);
    EXPECT_EQ(pelox_getPeloxErrors(-5, a), PELOX_E_NO_ERROR_RECORD);
    EXPECT_EQ(pelox_getPeloxErrors(0x7ffffff0, a), PELOX_E_NO_ERROR_RECORD);
    EXPECT_EQ(pelox_getPeloxErrors(1, 0x7fff0000), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, u"0"), 0);
    EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, u"10"), 0);
}

TEST(Robustness, ExtremeArgumentsAlwaysAnswer) {
    const int32_t junk[] = {0, -1, 1, INT32_MIN, INT32_MAX, 0x12345678};
    int32_t n = 0;
    for (int32_t a : junk) {
        for (int32_t b : junk) {
            EXPECT_EQ(peloxImp_createObject(a > 4 || a < 1 ? a : 0), 0);
            peloxImp_removeObject(a, b);
            const int32_t rc = peloxImp_getObjectSize(a, b, &n);
            EXPECT_TRUE(rc < 0 || rc == 0) << rc;
            (void)string_getText(b);
            (void)string_getBoolValue(b);
            EXPECT_LE(stringArray_getStringAtIndex(a, static_cast<uint32_t>(b), b), 0);
            EXPECT_EQ(stringArray_getTextAtIndex(INT32_MIN, static_cast<uint32_t>(b)), nullptr);
            EXPECT_LE(resultInfo_getNames(a, b), 0);
            EXPECT_LE(resultInfo_getValues(a, u"", b), 0);
            EXPECT_LE(pelox_getPeloxErrors(a, b), 0);
            EXPECT_LE(pelox_getPeloxInfo(a, INT32_MIN), 0);
        }
    }
    for (const char16_t* v : {u"", u"-2147483649", u"99999999999999999999", u"0x7fffffff", u" \t"}) {
        EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, v), 0);
        EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, v), 0);
        EXPECT_EQ(pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, v), 0);
    }
    for (const char* v : {".", "8..", "x", "-8", "8.5.0.0 ", "0x8", "99999999999"})
        EXPECT_TRUE(peloxImp_checkVersion(v) == 0 || peloxImp_checkVersion(v) == PELOX_E_UNSUPPORTED) << v;
    pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"10");
    pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"200");
    pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, u"10");
}
