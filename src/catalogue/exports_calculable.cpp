// pelox_getCalculablePropertiesByCategory: the server's calculable
// properties grouped by category (all under "Other" on older servers).
#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "frame/frame.h"
#include "registry/access.h"
#include "peloxImp.h"

using namespace pelox;
using wire::utf8;

PELOX_API int32_t pelox_getCalculablePropertiesByCategory(const pelox_char* sessionId, int32_t resultInfo) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto out = registry::outputResultInfo(resultInfo);
        if (!out) return PELOX_E_NO_RESULT_INFO;
        if (!sessionId) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        const std::u16string id = frame::toU16(sessionId);
        const char* endpoint = session.xmldbEndpoint.c_str();
        SoapStruct ctx;

        if (session.hasCalculablePropertiesByCategory) {
            qor__GetCalculablePropertiesByCategoryResponse answer;
            const int rc = callWithRetry(ctx, "soap call to GetCalculablePropertiesByCategory() failed",
                                         [&](struct soap* s) {
                                             return soap_call_qor__GetCalculablePropertiesByCategory(
                                                 s, endpoint, "", utf8(s, id), answer);
                                         });
            if (rc != 0) return rc;
            const ArrayOfNameValuePair* pairs = answer.calculabesByCategory;
            if (pairs && pairs->__ptr) {
                for (int i = 0; i < pairs->__size; ++i) {
                    const qor__NameValuePair& pair = pairs->__ptr[i];
                    if (!pair.values) continue;
                    const std::u16string category = wire::toWide(pair.name);
                    out->appendName(category);
                    frame::setArray(out->entry(category), wire::fromArray(pair.values));
                }
            }
            return PELOX_OK;
        }

        qor__GetCalculablePropertiesResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetCalculableProperties() failed", [&](struct soap* s) {
            return soap_call_qor__GetCalculableProperties(s, endpoint, "", utf8(s, id), answer);
        });
        if (rc != 0) return rc;
        out->appendName(u"Other");
        frame::setArray(out->entry(u"Other"), wire::fromArray(answer.calcProperties));
        return PELOX_OK;
    });
}
