// The gate every export goes through. Keep each export a few lines: the
// gate does the catching; the helpers of registry/access.h do the registry
// locking and the emptying of output objects.
//
// Usage (an export that writes a string and needs a session and a job):
//
//   PELOX_API int32_t pelox_example(const pelox_char* sessionId, const pelox_char* jobId, int32_t string) {
//       return pelox::frame::runExport(/*initialising=*/false, [&]() -> int32_t {
//           auto out = pelox::registry::outputString(string);  // string registry lock, held to the end
//           if (!out) return PELOX_E_NO_STRING;
//           if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
//           pelox::SessionInfo session;
//           if (!pelox::registry::copySession(pelox::frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
//           pelox::HeldJob job;                                 // record lock, released on every return
//           if (!pelox::registry::findJob(pelox::frame::view(jobId), job)) return PELOX_E_NO_JOB;
//           job->state = PELOX_JOB_FINISHED;
//           pelox::frame::setText(*out, u"done");
//           return PELOX_OK;
//       });
//   }
//
// A tarn::Exception thrown anywhere in the body (the initialisation
// included) becomes an error record whose identifier is returned; anything
// else returns PELOX_E_UNEXPECTED. Locks and temporaries are released
// before that happens, in reverse order.
//
// Exports that return a pointer or a boolean use runAccessor instead: a
// caught exception is logged ("<name>::Tarn Exception caught" or
// "<name>::Severe Exception caught") and the failure value is returned.
//
// Lock order when an export needs several registries: string, string array,
// protocol info, result info; then a job record. The session registry and
// the error record store are taken only briefly and inside everything else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frame/containers/array.h"
#include "frame/containers/wide_string.h"
#include "frame/error_cache.h"
#include "host/tarn_context.h"
#include "host/tarn_util.h"
#include "peloxImp.h"

namespace pelox::frame {

// ---- one-time initialisation ----------------------------------------------

// Runs the library's start-up once per process: marks the HTTP reader as a
// client, sets the error log location and the temporary directory root
// (<system temp>/qorvane-<uid>/PELOX). Safe with many threads entering together:
// exactly one runs it, the others wait until it has finished. A failure is
// thrown to the caller that ran it and not retried.
void ensureInitialised();
bool initialised();

// ---- the export gate --------------------------------------------------------

// Stores a caught exception as an error record: its identifier, or -984 when
// even that fails.
int32_t recordError(const tarn::Exception& e) noexcept;
// Writes "<name>::Tarn Exception caught" (tarnException true) or
// "<name>::Severe Exception caught" to the error log; never throws.
void logCaught(const char16_t* name, bool tarnException) noexcept;

// Runs an export body that returns a status code.
template <class Body>
int32_t runExport(bool initialising, Body&& body) noexcept {
    try {
        if (initialising) ensureInitialised();
        return static_cast<int32_t>(body());
    } catch (const tarn::Exception& e) {
        return recordError(e);
    } catch (...) {
        return PELOX_E_UNEXPECTED;
    }
}

// Runs an accessor body that returns a value; on an exception logs it under
// `name` and returns failValue.
template <class R, class Body>
R runAccessor(const char16_t* name, R failValue, Body&& body) noexcept {
    try {
        return body();
    } catch (const tarn::Exception&) {
        logCaught(name, true);
    } catch (...) {
        logCaught(name, false);
    }
    return failValue;
}

// ---- text conversions -------------------------------------------------------

// A caller's zero-terminated text as a view (null gives an empty view).
inline std::u16string_view view(const pelox_char* text) { return tarn::util::view(text); }
inline std::u16string toU16(const pelox_char* text) { return std::u16string(view(text)); }
inline std::u16string toU16(const WString& s) { return s.str(); }
// UTF-16 -> UTF-8 (a lone surrogate becomes U+FFFD).
inline std::string toUtf8(std::u16string_view text) { return tarn::util::ConvertStringtoUTF8(text); }
inline std::string toUtf8(const pelox_char* text) { return toUtf8(view(text)); }
inline std::string toUtf8(const WString& s) { return toUtf8(s.view()); }
// Writes a text into a library string (replacing its content).
inline void setText(WString& out, std::u16string_view text) { out.assign(text); }
inline void setUtf8(WString& out, std::string_view utf8) { out.assign(tarn::util::ConvertUTF8toString(utf8)); }
// Appends one element to a string array.
inline void append(StringArray& out, std::u16string_view text) { out.appendEmpty().assign(text); }
inline void appendUtf8(StringArray& out, std::string_view utf8) {
    out.appendEmpty().assign(tarn::util::ConvertUTF8toString(utf8));
}
// Replaces a string array's elements.
inline void setArray(StringArray& out, const std::vector<std::u16string>& values) { assign(out, values); }

}  // namespace pelox::frame
