#include "host/tarn_exception.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include <unistd.h>

#include "host/platform.h"
#include "host/private_files.h"
#include "host/tarn_context.h"
#include "host/tarn_util.h"

namespace tarn {

const char16_t* const pexCatchAndThrowClassTarn = u"%ls::%ls";
const char16_t* const pexCatchAndThrowTarn = u"%ls::%ls: exception caught and rethrown";
const char16_t* const pexCatchAndThrowSevere = u"%ls::%ls: unexpected exception caught and rethrown";
const char16_t* const pexDestructorCaught = u"%ls::~%ls: exception caught in destructor during unwinding";
const char16_t* const pexDestructorThrown = u"%ls::~%ls: exception thrown from destructor";
const char16_t* const pexDestructorSevereCaught = u"%ls::~%ls: unexpected exception caught in destructor during unwinding";
const char16_t* const pexDestructorSevereThrown = u"%ls::~%ls: unexpected exception thrown from destructor";

FormatArg::FormatArg(const char* s) : kind_(Kind::Text), text_(s ? util::ConvertUTF8toString(s) : u"(null)") {}
FormatArg::FormatArg(const std::string& s) : kind_(Kind::Text), text_(util::ConvertUTF8toString(s)) {}
FormatArg::FormatArg(std::string_view s) : kind_(Kind::Text), text_(util::ConvertUTF8toString(s)) {}
FormatArg::FormatArg(const char16_t* s) : kind_(Kind::Text), text_(s ? std::u16string(s) : u"(null)") {}
FormatArg::FormatArg(const std::u16string& s) : kind_(Kind::Text), text_(s) {}
FormatArg::FormatArg(std::u16string_view s) : kind_(Kind::Text), text_(s) {}

namespace {

void appendAscii(std::u16string& out, const std::string& s) {
    for (char c : s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

std::string toBase(unsigned long long v, int base, bool upper) {
    if (v == 0) return "0";
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    while (v) {
        s.insert(s.begin(), digits[v % base]);
        v /= base;
    }
    return s;
}

template <class CharT>
std::u16string formatImpl(std::basic_string_view<CharT> fmt, const std::vector<FormatArg>& args) {
    std::u16string out;
    size_t next = 0;
    size_t i = 0;
    auto literal = [&](size_t from, size_t to) {
        if constexpr (sizeof(CharT) == 1) {
            out += util::ConvertUTF8toString(std::string_view(reinterpret_cast<const char*>(fmt.data()) + from, to - from));
        } else {
            out.append(reinterpret_cast<const char16_t*>(fmt.data()) + from, to - from);
        }
    };
    size_t runStart = 0;
    while (i < fmt.size()) {
        if (fmt[i] != CharT('%')) {
            ++i;
            continue;
        }
        literal(runStart, i);
        size_t j = i + 1;
        if (j < fmt.size() && fmt[j] == CharT('%')) {
            out.push_back(u'%');
            i = j + 1;
            runStart = i;
            continue;
        }
        // Flags, width and precision are accepted and ignored; length
        // modifiers are skipped; the conversion letter ends the directive.
        while (j < fmt.size() && (fmt[j] == CharT('-') || fmt[j] == CharT('+') || fmt[j] == CharT(' ') ||
                                  fmt[j] == CharT('#') || fmt[j] == CharT('.') ||
                                  (fmt[j] >= CharT('0') && fmt[j] <= CharT('9'))))
            ++j;
        while (j < fmt.size() && (fmt[j] == CharT('l') || fmt[j] == CharT('h') || fmt[j] == CharT('z') ||
                                  fmt[j] == CharT('I') || fmt[j] == CharT('L') || fmt[j] == CharT('j')))
            ++j;
        if (j >= fmt.size()) {
            literal(i, fmt.size());
            i = fmt.size();
            runStart = i;
            break;
        }
        const char16_t conv = static_cast<char16_t>(fmt[j]);
        if (next < args.size()) {
            const FormatArg& a = args[next++];
            if (a.kind() == FormatArg::Kind::Text) {
                out += a.text();
            } else if (conv == u'x' || conv == u'X') {
                appendAscii(out, toBase(a.kind() == FormatArg::Kind::Signed
                                            ? static_cast<unsigned long long>(static_cast<unsigned>(a.asSigned()))
                                            : a.asUnsigned(),
                                        16, conv == u'X'));
            } else if (conv == u'c') {
                out.push_back(static_cast<char16_t>(a.asUnsigned()));
            } else if (a.kind() == FormatArg::Kind::Signed && conv != u'u') {
                appendAscii(out, std::to_string(a.asSigned()));
            } else {
                appendAscii(out, std::to_string(a.asUnsigned()));
            }
        }
        i = j + 1;
        runStart = i;
    }
    literal(runStart, fmt.size());
    return out;
}

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

std::u16string& logLocation() {
    static std::u16string location;
    return location;
}

// One entry is one line of the log, with its time stamp: the line breaks of
// an entry of several messages (or of a message quoting a program's output)
// become " | ".
std::u16string oneLine(const std::u16string& entry) {
    std::u16string out;
    out.reserve(entry.size());
    for (size_t i = 0; i < entry.size(); ++i) {
        if (entry[i] == u'\r' || entry[i] == u'\n') {
            if (entry[i] == u'\r' && i + 1 < entry.size() && entry[i + 1] == u'\n') ++i;
            out += u" | ";
        } else {
            out.push_back(entry[i]);
        }
    }
    return out;
}

// In the user's own temporary root: a fixed name in the shared temporary
// folder could be planted by another user.
std::u16string defaultLogLocation() {
    return util::ConvertUTF8toString(pelox::host::privateRootPath()) + pelox::host::PATHSEP + u"peloxErrors.txt";
}

}  // namespace

std::u16string formatArgs(std::u16string_view format, const std::vector<FormatArg>& args) {
    return formatImpl<char16_t>(format, args);
}
std::u16string formatArgs(std::string_view format, const std::vector<FormatArg>& args) {
    return formatImpl<char>(format, args);
}

const std::u16string& Exception::getErrorMessage(uint32_t i) const {
    static const std::u16string empty;
    return i < messages_.size() ? messages_[i] : empty;
}

std::u16string Exception::joined(std::u16string_view separator) const {
    return util::joinStrings(messages_, separator);
}

void Exception::SetErrorLogLocation(const char16_t* path) {
    std::lock_guard<std::mutex> lock(logMutex());
    logLocation() = (path && *path) ? std::u16string(path) : std::u16string();
}

std::u16string Exception::GetErrorLogLocation() {
    std::lock_guard<std::mutex> lock(logMutex());
    return logLocation().empty() ? defaultLogLocation() : logLocation();
}

void Exception::writeLogLine(const std::u16string& line) {
    // Logging must never fail the caller: every error here is swallowed.
    try {
        const std::string path = util::ConvertStringtoUTF8(GetErrorLogLocation());
        std::lock_guard<std::mutex> lock(logMutex());
        // A link planted at the name is not followed, and only the user's own
        // regular file is written to (host/private_files.h).
        std::string why;
        const pelox::host::NativeFile file = pelox::host::openPrivateAppend(path, why);
        if (!file) return;
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        std::tm tm{};
        util::gmtime(&now, tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
        // One write per line: with O_APPEND, lines of several processes do
        // not interleave.
        const std::string text = std::string(stamp) + " peloxImp: " + util::ConvertStringtoUTF8(oneLine(line)) + "\n";
        pelox::host::writeAll(file, text);
    } catch (...) {
    }
}

InvalidIndexException::InvalidIndexException(long long index, long long highest)
    : Exception("Invalid index %lld, the highest valid index is %lld", index, highest) {}

MemoryException::MemoryException(unsigned long long count, unsigned long long size)
    : Exception("Unable to allocate %llu elements of %llu bytes", count, size) {}

ForcedCriticalSection::ForcedCriticalSection() {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0) rc = pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) throw Exception("A lock could not be created (error %d)", rc);
}

ForcedCriticalSection::~ForcedCriticalSection() { pthread_mutex_destroy(&mutex_); }

bool ForcedCriticalSection::lock(unsigned milliseconds, bool /*force*/) {
    int rc = pthread_mutex_trylock(&mutex_);
    if (rc == 0) return true;
    if (rc == EBUSY) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
        rc = ETIMEDOUT;
        for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
            const long long left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - now).count();
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            const long long nanos = deadline.tv_nsec + left % 1000000000LL;
            deadline.tv_sec += static_cast<time_t>(left / 1000000000LL + nanos / 1000000000LL);
            deadline.tv_nsec = static_cast<long>(nanos % 1000000000LL);
            rc = pthread_mutex_timedlock(&mutex_, &deadline);
            if (rc == 0) return true;
            if (rc != ETIMEDOUT) break;
        }
    }
    if (rc == ETIMEDOUT) {
        Exception::warn("ForcedCriticalSection: lock not obtained within %u ms", milliseconds);
        throw Exception("Timed out after %u ms waiting for a lock", milliseconds);
    }
    // EAGAIN: the recursion count is exhausted.
    throw Exception("A lock could not be taken (error %d)", rc);
}

void ForcedCriticalSection::unlock() {
    const int rc = pthread_mutex_unlock(&mutex_);
    if (rc != 0) throw Exception("A lock was released that this thread does not hold (error %d)", rc);
}

}  // namespace tarn

namespace pelox {

void Guard::release() {
    if (held_) {
        held_ = false;
        section_->unlock();
    }
}

Guard::~Guard() noexcept(false) {
    if (!held_) return;
    held_ = false;
    const bool unwinding = std::uncaught_exceptions() > 0;
    try {
        section_->unlock();
    } catch (tarn::Exception& e) {
        e.appendMessage(unwinding ? tarn::pexDestructorCaught : tarn::pexDestructorThrown, u"Guard", u"Guard");
        if (unwinding) {
            tarn::Exception::warn(u"%ls", e.joined(u"\n"));
            return;
        }
        e.rethrow();
    } catch (...) {
        tarn::Exception e(unwinding ? tarn::pexDestructorSevereCaught : tarn::pexDestructorSevereThrown, u"Guard",
                          u"Guard");
        if (unwinding) {
            tarn::Exception::warn(u"%ls", e.joined(u"\n"));
            return;
        }
        throw e;
    }
}

}  // namespace pelox
