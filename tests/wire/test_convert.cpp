// Conversions between the library's values and the service records, and the
// behaviour the records add to the generated classes.
#include <gtest/gtest.h>

#include "connection/channel.h"
#include "soapH.h"
#include "wire/convert.h"

using namespace pelox;
namespace wire = pelox::wire;

TEST(Convert, TextToUtf8KeepsNullAndRepairsBrokenUtf16) {
    SoapStruct ctx;
    EXPECT_EQ(wire::utf8(ctx.get(), static_cast<const char16_t*>(nullptr)), nullptr);
    EXPECT_STREQ(wire::utf8(ctx.get(), u""), "");
    EXPECT_STREQ(wire::utf8(ctx.get(), u"a\u00e9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_STREQ(wire::utf8(ctx.get(), lone), "x\xEF\xBF\xBDy");
    EXPECT_EQ(wire::toWide(nullptr), u"");
    EXPECT_EQ(wire::toWide("\xFF!"), u"\uFFFD!");
}

TEST(Convert, ArraysRoundTripAndNullsReadAsEmpty) {
    SoapStruct ctx;
    std::vector<std::u16string> strings{u"one", u"", u"dr\u00e9i"};
    EXPECT_EQ(wire::fromArray(wire::toArrayOfString(ctx.get(), strings)), strings);
    std::vector<int> ints{0, -1, 2147483647};
    EXPECT_EQ(wire::fromArray(wire::toArrayOfInt(ctx.get(), ints)), ints);
    std::vector<wire::NameValues> pairs{{u"a", {u"1", u"2"}}, {u"b", {}}};
    EXPECT_EQ(wire::fromArray(wire::toArrayOfNameValuePair(ctx.get(), pairs)), pairs);
    std::vector<unsigned char> bytes{0, 255, 10};
    EXPECT_EQ(wire::fromBase64(wire::toBase64(ctx.get(), bytes)), bytes);

    // Empty arrays are real arrays (written with a count of 0), not nulls.
    ArrayOfString* empty = wire::toArrayOfString(ctx.get(), {});
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(empty->__ptr, nullptr);
    EXPECT_EQ(empty->__size, 0);

    EXPECT_TRUE(wire::fromArray(static_cast<const ArrayOfString*>(nullptr)).empty());
    EXPECT_TRUE(wire::fromArray(static_cast<const ArrayOfNameValuePair*>(nullptr)).empty());
    EXPECT_TRUE(wire::fromBase64(nullptr).empty());
    ArrayOfString withNull;
    char* items[] = {nullptr};
    withNull.__ptr = items;
    withNull.__size = 1;
    EXPECT_EQ(wire::fromArray(&withNull), std::vector<std::u16string>{u""});
    withNull.__size = -4;  // a hostile count reads as empty
    EXPECT_TRUE(wire::fromArray(&withNull).empty());
}

TEST(Convert, IndexingOutsideAnArrayRaises) {
    SoapStruct ctx;
    ArrayOfInt* ints = wire::toArrayOfInt(ctx.get(), {5, 6});
    EXPECT_EQ(wire::at(ints, 1), 6);
    for (int bad : {-1, 2, 1000}) {
        try {
            wire::at(ints, bad);
            ADD_FAILURE() << bad;
        } catch (const tarn::Exception& e) {
            EXPECT_EQ(e.getErrorMessage(0), u"Array index out of bounds");
        }
    }
    EXPECT_THROW(wire::at(static_cast<ArrayOfInt*>(nullptr), 0), tarn::Exception);
}

TEST(Records, CopyAssignmentIsRefusedWithTheOperatorsName) {
    qor__ServerInfo a, b;
    try {
        a = b;
        ADD_FAILURE() << "assignment copied";
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(e.getErrorMessage(0), u"Called qor__ServerInfo &qor__ServerInfo::operator=(const qor__ServerInfo &serverInfo)");
    }
    qor__NameValuePair c, d;
    try {
        c = d;
        ADD_FAILURE() << "assignment copied";
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(e.getErrorMessage(0),
                  u"Called qor__NameValuePair &qor__NameValuePair::operator=(const qor__NameValuePair &nameValuePair)");
    }
}

TEST(Records, ResizeOnlyCreates) {
    SoapStruct ctx;
    qor__ParameterInfo2* p = soap_new_qor__ParameterInfo2(ctx.get());
    ASSERT_NE(p, nullptr);
    p->ResizeValues(3);
    EXPECT_EQ(wire::fromArray(p->values), (std::vector<std::u16string>{u"", u"", u""}));
    try {
        p->ResizeValues(1);
        ADD_FAILURE() << "second ResizeValues replaced the array";
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(e.getErrorMessage(0), u"ResizeValues only creates new objects");
    }
    EXPECT_EQ(wire::arraySize(p->values), 3);
    p->ResizeLegalValues(0);
    EXPECT_EQ(wire::arraySize(p->legalValues), 0);
    try {
        p->ResizeLegalValues(2);
        ADD_FAILURE() << "second ResizeLegalValues replaced the array";
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(e.getErrorMessage(0), u"ResizeLegalValues only creates new objects");
    }
}
