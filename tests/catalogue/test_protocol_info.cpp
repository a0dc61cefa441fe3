// The protocol-info model without a server: editing, property access, the
// name/value list builder and the validation paths that send nothing.
#include <gtest/gtest.h>

#include "catalogue/protocol_info.h"
#include "frame/settings.h"
#include "host/platform.h"
#include "host/tarn_exception.h"

using pelox::NameValueForm;
using pelox::NameValues;
using pelox::ParameterInfo;
using pelox::ProtocolInfo;
using Texts = std::vector<std::u16string>;

namespace {

ParameterInfo param(std::u16string name, Texts values = {}, bool required = false) {
    ParameterInfo p;
    p.name = std::move(name);
    p.values = std::move(values);
    p.required = required;
    return p;
}

ProtocolInfo twoParameters() {
    ProtocolInfo info;
    info.AddParameterInfo(param(u"Input", {u"a.txt", u"b.txt"}, true));
    info.AddParameterInfo(param(u"Mode"));
    return info;
}

}  // namespace

TEST(ProtocolInfoModel, NameIndexIsCaseInsensitiveAndLaterWins) {
    ProtocolInfo info;
    info.AddParameterInfo(param(u"Alpha"));
    info.AddParameterInfo(param(u"ALPHA"));
    info.AddParameterInfo(param(u"beta"));
    EXPECT_EQ(info.parameterCount(), 3u);
    EXPECT_EQ(info.serverParameterCount, 3u);
    uint32_t i = 99;
    ASSERT_TRUE(info.getIndexForName(u"alpha", i));
    EXPECT_EQ(i, 1u);
    ASSERT_TRUE(info.getIndexForName(u"BETA", i));
    EXPECT_EQ(i, 2u);
    EXPECT_FALSE(info.getIndexForName(u"gamma", i));
    // Only A-Z fold: a non-ASCII letter keeps its case.
    info.AddParameterInfo(param(u"\u00C4x"));
    EXPECT_FALSE(info.getIndexForName(u"\u00E4x", i));

    // A caller's parameter lies behind the server's count.
    info.AddCallerParameter(param(u"Extra"));
    EXPECT_EQ(info.parameterCount(), 5u);
    EXPECT_EQ(info.serverParameterCount, 4u);
    ASSERT_TRUE(info.getIndexForName(u"extra", i));
    EXPECT_EQ(i, 4u);

    info.clear();
    EXPECT_EQ(info.parameterCount(), 0u);
    EXPECT_FALSE(info.getIndexForName(u"alpha", i));
    EXPECT_TRUE(info.needsValidation);
    EXPECT_TRUE(info.validationEnabled);
}

TEST(ProtocolInfoModel, PropertiesByNumber) {
    ProtocolInfo info = twoParameters();
    info.parameters[0].type = u"FileType";
    info.parameters[0].legalValues = {u"x"};
    Texts out = {u"stale"};
    ASSERT_TRUE(info.getParameterProperty(0, PELOX_PROP_NAME, out));
    EXPECT_EQ(out, Texts{u"Input"});
    ASSERT_TRUE(info.getParameterProperty(0, PELOX_PROP_TYPE, out));
    EXPECT_EQ(out, Texts{u"FileType"});
    ASSERT_TRUE(info.getParameterProperty(0, PELOX_PROP_VALUES, out));
    EXPECT_EQ(out, (Texts{u"a.txt", u"b.txt"}));
    ASSERT_TRUE(info.getParameterProperty(0, PELOX_PROP_REQUIRED, out));
    EXPECT_EQ(out, Texts{u"true"});
    ASSERT_TRUE(info.getParameterProperty(1, PELOX_PROP_IS_VALID, out));
    EXPECT_EQ(out, Texts{u"true"});  // defaults: valid, enabled, enforced
    ASSERT_TRUE(info.getParameterProperty(1, PELOX_PROP_MEMBERS, out));
    EXPECT_TRUE(out.empty());
    for (int32_t unknown : {0, 49, 65, -1}) {
        out = {u"stale"};
        EXPECT_FALSE(info.getParameterProperty(0, unknown, out));
        EXPECT_TRUE(out.empty());
    }

    bool b = false;
    for (int32_t n : {55, 56, 57, 59, 61, 63, 64}) EXPECT_TRUE(info.getParameterPropertyBool(0, n, b)) << n;
    for (int32_t n : {50, 53, 54, 58, 60, 62, 65}) EXPECT_FALSE(info.getParameterPropertyBool(0, n, b)) << n;
    ASSERT_TRUE(info.getParameterPropertyBool(0, PELOX_PROP_REQUIRED, b));
    EXPECT_TRUE(b);

    // Outside the array: the core index exception, never a stray read.
    EXPECT_THROW(info.getParameterProperty(2, PELOX_PROP_NAME, out), tarn::InvalidIndexException);
    EXPECT_THROW(info.getParameterPropertyBool(UINT32_MAX, PELOX_PROP_REQUIRED, b), tarn::InvalidIndexException);
    EXPECT_THROW(info.setParameterValues(7, {u"x"}), tarn::InvalidIndexException);

    EXPECT_TRUE(pelox::isValidatedProperty(54));
    for (int32_t n = 59; n <= 63; ++n) EXPECT_TRUE(pelox::isValidatedProperty(n));
    for (int32_t n : {53, 55, 58, 64}) EXPECT_FALSE(pelox::isValidatedProperty(n));
}

TEST(ProtocolInfoModel, SettingValuesMarksForValidation) {
    ProtocolInfo info = twoParameters();
    info.needsValidation = false;
    info.setParameterValues(1, {u"fast"});
    EXPECT_TRUE(info.needsValidation);
    EXPECT_EQ(info.parameters[1].values, Texts{u"fast"});

    ParameterInfo& p = info.parameters[1];
    EXPECT_TRUE(p.setStringArrayForProperty(PELOX_PROP_HELP, {u"first", u"ignored"}));
    EXPECT_EQ(p.help, u"first");
    EXPECT_TRUE(p.setStringArrayForProperty(PELOX_PROP_LEGAL_VALUES, {u"a", u"b"}));
    EXPECT_EQ(p.legalValues, (Texts{u"a", u"b"}));
    EXPECT_TRUE(p.setStringArrayForProperty(PELOX_PROP_NAME, {}));
    EXPECT_EQ(p.name, u"");
    EXPECT_FALSE(p.setStringArrayForProperty(PELOX_PROP_REQUIRED, {u"true"}));
}

TEST(NameValueBuilder, ValidationFormSendsServerParametersOnly) {
    ProtocolInfo info = twoParameters();
    info.AddCallerParameter(param(u"Added", {u"v"}));
    info.exportsChanged = true;
    info.exports = {u"A", u"B"};
    const auto list = info.buildNameValueList(PELOX_JOB_HANDLE_CLIENT_STEPS, NameValueForm::Validation, u"/tmp/x");
    const std::vector<NameValues> expected = {{u"Input", {u"a.txt", u"b.txt"}}, {u"Mode", {u""}}};
    EXPECT_EQ(list.pairs, expected);
}

TEST(NameValueBuilder, LaunchFormAddsTheLaunchNames) {
    ProtocolInfo info = twoParameters();
    info.AddCallerParameter(param(u"Added", {u"v"}));
    auto list = info.buildNameValueList(0, NameValueForm::Launch);
    ASSERT_EQ(list.pairs.size(), 3u);
    EXPECT_EQ(list.pairs[2], (NameValues{u"Added", {u"v"}}));

    info.exportsChanged = true;
    info.exports = {u"Area", u"Mass"};
    list = info.buildNameValueList(PELOX_JOB_HANDLE_CLIENT_STEPS, NameValueForm::Launch, u"/tmp/qorvane/PELOX");
    ASSERT_EQ(list.pairs.size(), 6u);
    EXPECT_EQ(list.pairs[3], (NameValues{u"NoUI", {u"false"}}));
    EXPECT_EQ(list.pairs[4], (NameValues{u"ClientTempDirectory", {u"/tmp/qorvane/PELOX"}}));
    EXPECT_EQ(list.pairs[5], (NameValues{u"WebExports", {u"Area,Mass"}}));
}

TEST(NameValueBuilder, ClientTempDirectoryIsTheLibrarysTemporaryRoot) {
    ProtocolInfo info = twoParameters();
    std::u16string root;
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);
    ASSERT_FALSE(root.empty());
    const auto list = info.buildNameValueList(PELOX_JOB_HANDLE_CLIENT_STEPS, NameValueForm::Launch);
    ASSERT_EQ(list.pairs.size(), 4u);
    EXPECT_EQ(list.pairs[3], (NameValues{u"ClientTempDirectory", {root}}));
    // Without flag 1 nothing is added.
    EXPECT_EQ(info.buildNameValueList(2, NameValueForm::Launch).pairs.size(), 2u);
}

TEST(NameValueBuilder, CompletenessLooksAtEnabledParametersOnly) {
    ProtocolInfo info;
    info.AddParameterInfo(param(u"Optional"));
    EXPECT_TRUE(info.buildNameValueList(0, NameValueForm::Launch).complete);

    info.AddParameterInfo(param(u"Needed", {u""}, true));  // a single empty value is no value
    EXPECT_FALSE(info.buildNameValueList(0, NameValueForm::Launch).complete);
    // Flag 8 skips the test.
    EXPECT_TRUE(info.buildNameValueList(PELOX_JOB_SKIP_VALIDATION, NameValueForm::Launch).complete);
    // A disabled parameter does not count.
    info.parameters[1].isEnabled = false;
    EXPECT_TRUE(info.buildNameValueList(0, NameValueForm::Launch).complete);
    info.parameters[1].isEnabled = true;
    info.parameters[1].values = {u"", u""};
    EXPECT_TRUE(info.buildNameValueList(0, NameValueForm::Launch).complete);
    // An enabled invalid parameter makes the list incomplete, later ones are still converted.
    info.parameters[0].isValid = false;
    info.AddParameterInfo(param(u"Last", {u"z"}));
    const auto list = info.buildNameValueList(0, NameValueForm::Launch);
    EXPECT_FALSE(list.complete);
    ASSERT_EQ(list.pairs.size(), 3u);
    EXPECT_EQ(list.pairs[2], (NameValues{u"Last", {u"z"}}));
}

TEST(Validation, NothingIsSentUnlessDue) {
    ProtocolInfo info = twoParameters();
    // No validating server: nothing to do.
    EXPECT_EQ(info.validate(), 0);
    EXPECT_FALSE(info.validationDue(PELOX_PROP_LEGAL_VALUES));
    info.serverValidates = true;
    EXPECT_TRUE(info.validationDue(PELOX_PROP_LEGAL_VALUES));
    EXPECT_FALSE(info.validationDue(PELOX_PROP_VALUES));
    // Switched off: -969, and still due (no endpoint is contacted).
    info.validationEnabled = false;
    EXPECT_EQ(info.validate(), -969);
    EXPECT_TRUE(info.needsValidation);
    info.needsValidation = false;
    EXPECT_EQ(info.validate(), 0);
}

TEST(ProtocolAttributes, WithoutTheServerOperationStayEmpty) {
    ProtocolInfo info = twoParameters();
    EXPECT_EQ(info.componentGuidFetched(), u"");
    info.AddExport(u"Area");
    info.AddExport(u"Mass");
    EXPECT_TRUE(info.exportsLoaded);
    EXPECT_TRUE(info.exportsChanged);
    EXPECT_EQ(info.exports, (Texts{u"Area", u"Mass"}));
}
