// The core library's exception type and its message formatting.
//
// tarn::Exception carries an ordered list of UTF-16 messages. Internal
// classes append "class::operation" context as an exception passes through
// them (see annotateAndRethrow in host/tarn_context.h); the export frame turns
// the exception into an error record whose strings are these messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// printf-style formatting into UTF-16, type-safe: every argument is converted
// by its C++ type, the conversion letter only chooses the integer base.
// Supported: %s / %ls (any text: const char* / std::string as UTF-8,
// const char16_t* / std::u16string as UTF-16; null prints "(null)"),
// %d %i %u %ld %lld %lu %llu (integers), %x %X (hex), %c, %%. A missing
// argument prints nothing; extra arguments are ignored.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Text };
    FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(char16_t v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(const char* s);
    FormatArg(const std::string& s);
    FormatArg(std::string_view s);
    FormatArg(const char16_t* s);
    FormatArg(const std::u16string& s);
    FormatArg(std::u16string_view s);

    Kind kind() const { return kind_; }
    long long asSigned() const { return kind_ == Kind::Signed ? i_ : static_cast<long long>(u_); }
    unsigned long long asUnsigned() const { return kind_ == Kind::Unsigned ? u_ : static_cast<unsigned long long>(i_); }
    const std::u16string& text() const { return text_; }

private:
    Kind kind_;
    long long i_ = 0;
    unsigned long long u_ = 0;
    std::u16string text_;
};

std::u16string formatArgs(std::u16string_view format, const std::vector<FormatArg>& args);
std::u16string formatArgs(std::string_view format, const std::vector<FormatArg>& args);

template <class... A>
std::u16string format(std::u16string_view fmt, const A&... a) {
    return formatArgs(fmt, std::vector<FormatArg>{FormatArg(a)...});
}
template <class... A>
std::u16string format(std::string_view fmt, const A&... a) {
    return formatArgs(fmt, std::vector<FormatArg>{FormatArg(a)...});
}

// Wide format constants taking (class, operation), used when context is added
// to an exception that passes through, or by destructors that catch one.
extern const char16_t* const pexCatchAndThrowClassTarn;
extern const char16_t* const pexCatchAndThrowTarn;
extern const char16_t* const pexCatchAndThrowSevere;
extern const char16_t* const pexDestructorCaught;
extern const char16_t* const pexDestructorThrown;
extern const char16_t* const pexDestructorSevereCaught;
extern const char16_t* const pexDestructorSevereThrown;

class Exception {
public:
    Exception() = default;
    template <class... A>
    explicit Exception(const char* fmt, const A&... a) { messages_.push_back(format(std::string_view(fmt ? fmt : ""), a...)); }
    template <class... A>
    explicit Exception(const char16_t* fmt, const A&... a) { messages_.push_back(format(std::u16string_view(fmt ? fmt : u""), a...)); }
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    virtual ~Exception() = default;

    // Throws this object again as its most derived type.
    virtual void rethrow() const { throw *this; }

    template <class... A>
    void appendMessage(const char* fmt, const A&... a) { messages_.push_back(format(std::string_view(fmt ? fmt : ""), a...)); }
    template <class... A>
    void appendMessage(const char16_t* fmt, const A&... a) { messages_.push_back(format(std::u16string_view(fmt ? fmt : u""), a...)); }
    void appendText(std::u16string text) { messages_.push_back(std::move(text)); }

    uint32_t getMessageTotal() const { return static_cast<uint32_t>(messages_.size()); }
    // Message i (from 0); an index out of range gives an empty text.
    const std::u16string& getErrorMessage(uint32_t i) const;
    const std::vector<std::u16string>& messages() const { return messages_; }
    // All messages joined with a separator (for logs and error reports).
    std::u16string joined(std::u16string_view separator) const;

    // Writes one line to the error log (see SetErrorLogLocation).
    template <class... A>
    static void warn(const char16_t* fmt, const A&... a) { writeLogLine(format(std::u16string_view(fmt ? fmt : u""), a...)); }
    template <class... A>
    static void warn(const char* fmt, const A&... a) { writeLogLine(format(std::string_view(fmt ? fmt : ""), a...)); }

    // Names the error log file. Null or empty switches the log to the default.
    static void SetErrorLogLocation(const char16_t* path);
    static std::u16string GetErrorLogLocation();
    static void writeLogLine(const std::u16string& line);

private:
    std::vector<std::u16string> messages_;
};

// An index outside [0, highest] was used.
class InvalidIndexException : public Exception {
public:
    InvalidIndexException(long long index, long long highest);
    void rethrow() const override { throw *this; }
};

// An allocation of count elements of size bytes failed.
class MemoryException : public Exception {
public:
    MemoryException(unsigned long long count, unsigned long long size);
    void rethrow() const override { throw *this; }
};

}  // namespace tarn
