#include "host/tarn_util.h"

#include <climits>
#include <utility>

namespace tarn::util {

namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

bool isSpace16(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0xA0; }

char16_t lowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

template <class CharT>
int64_t parseInteger(const CharT* text, const CharT** end, bool allowSign, int64_t lo, int64_t hi) {
    if (end) *end = text;
    if (!text) return 0;
    const CharT* p = text;
    while (*p == CharT(' ') || *p == CharT('\t') || *p == CharT('\r') || *p == CharT('\n')) ++p;
    bool negative = false;
    if (allowSign && (*p == CharT('-') || *p == CharT('+'))) {
        negative = *p == CharT('-');
        ++p;
    }
    int base = 10;
    if (p[0] == CharT('0') && (p[1] == CharT('x') || p[1] == CharT('X'))) {
        const CharT c = p[2];
        if ((c >= CharT('0') && c <= CharT('9')) || (c >= CharT('a') && c <= CharT('f')) ||
            (c >= CharT('A') && c <= CharT('F'))) {
            base = 16;
            p += 2;
        }
    }
    const CharT* digitsStart = p;
    unsigned long long value = 0;
    bool overflow = false;
    for (;; ++p) {
        int d;
        const CharT c = *p;
        if (c >= CharT('0') && c <= CharT('9')) d = c - CharT('0');
        else if (base == 16 && c >= CharT('a') && c <= CharT('f')) d = c - CharT('a') + 10;
        else if (base == 16 && c >= CharT('A') && c <= CharT('F')) d = c - CharT('A') + 10;
        else break;
        if (value > (ULLONG_MAX - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) overflow = true;
        else value = value * base + d;
    }
    if (p == digitsStart) return 0;
    if (end) *end = p;
    if (negative) {
        if (overflow || value > static_cast<unsigned long long>(-(lo + 1)) + 1) return lo;
        return -static_cast<int64_t>(value - 1) - 1;
    }
    if (overflow || value > static_cast<unsigned long long>(hi)) return hi;
    return static_cast<int64_t>(value);
}

std::u16string trimmedLower(const char16_t* text) {
    std::u16string s;
    if (!text) return s;
    std::u16string_view v(text);
    size_t b = 0, e = v.size();
    while (b < e && isSpace16(v[b])) ++b;
    while (e > b && isSpace16(v[e - 1])) --e;
    for (size_t i = b; i < e; ++i) s.push_back(lowerAscii(v[i]));
    return s;
}

bool isIntegerText(const std::u16string& s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) ++i;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i)
        if (s[i] < u'0' || s[i] > u'9') return false;
    return true;
}

}  // namespace

std::string ConvertStringtoUTF8(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string ConvertStringtoUTF8(const char16_t* wide) { return ConvertStringtoUTF8(view(wide)); }

namespace {

// Characters of the UTF-16 form that XML 1.0 forbids (surrogates are dealt
// with by the UTF-8 conversion).
bool xmlForbidden(char16_t c) { return (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF; }

}  // namespace

std::string ConvertStringtoXmlUTF8(std::u16string_view wide) {
    for (size_t i = 0; i < wide.size(); ++i) {
        if (!xmlForbidden(wide[i])) continue;
        std::u16string safe(wide);
        for (size_t j = i; j < safe.size(); ++j)
            if (xmlForbidden(safe[j])) safe[j] = static_cast<char16_t>(kReplacement);
        return ConvertStringtoUTF8(safe);
    }
    return ConvertStringtoUTF8(wide);
}

namespace {

// Whether UTF-8 text is well-formed (by the rules of ConvertUTF8toString)
// and holds no character XML forbids, checked without converting it.
bool xmlSafeAsItIs(std::string_view s) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = at(i);
        if (b < 0x80) {
            if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') return false;
            ++i;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;  // no encoded surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + need >= s.size()) return false;
        for (size_t k = 1; k <= need; ++k) {
            const unsigned char c = at(i + k);
            if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return false;
        }
        if (b == 0xEF && at(i + 1) == 0xBF && at(i + 2) >= 0xBE) return false;  // U+FFFE, U+FFFF
        i += need + 1;
    }
    return true;
}

}  // namespace

bool makeXmlSafeUTF8(std::string_view utf8, std::string& out) {
    if (xmlSafeAsItIs(utf8)) return false;
    out = ConvertStringtoXmlUTF8(ConvertUTF8toString(utf8));
    return true;
}

std::u16string ConvertUTF8toString(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const unsigned char b0 = static_cast<unsigned char>(s[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        int need;
        char32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            need = 1;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 2;
            cp = b0 & 0x0F;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;  // no encoded surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 3;
            cp = b0 & 0x07;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            appendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n) {
                ok = false;
                break;
            }
            const unsigned char b = static_cast<unsigned char>(s[j]);
            const unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
            if (b < l || b > h) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (!ok) {
            // Replace the maximal invalid subpart with one U+FFFD.
            appendUtf16(out, kReplacement);
            i = j;
            continue;
        }
        appendUtf16(out, cp);
        i = j;
    }
    return out;
}

std::u16string ConvertUTF8toString(const char* utf8, long long length) {
    if (!utf8) return {};
    if (length < 0) return ConvertUTF8toString(std::string_view(utf8));
    return ConvertUTF8toString(std::string_view(utf8, static_cast<size_t>(length)));
}

size_t incompleteUtf8Tail(std::string_view bytes) {
    const size_t n = bytes.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(bytes[n - back]);
        if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
        size_t need = 0;
        if (c >= 0xC2 && c <= 0xDF) need = 2;
        else if (c >= 0xE0 && c <= 0xEF) need = 3;
        else if (c >= 0xF0 && c <= 0xF4) need = 4;
        return need > back ? back : 0;
    }
    return 0;
}

size_t length(const char16_t* text) {
    if (!text) return 0;
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

std::u16string_view view(const char16_t* text) { return text ? std::u16string_view(text, length(text)) : std::u16string_view(); }

int32_t stringToInteger(const char16_t* text, const char16_t** end, bool allowSign) {
    return static_cast<int32_t>(parseInteger<char16_t>(text, end, allowSign, INT32_MIN, INT32_MAX));
}

int32_t stringToInteger(const char* text, const char** end, bool allowSign) {
    return static_cast<int32_t>(parseInteger<char>(text, end, allowSign, INT32_MIN, INT32_MAX));
}

int64_t stringToInt64(const char16_t* text, const char16_t** end) {
    return parseInteger<char16_t>(text, end, true, INT64_MIN, INT64_MAX);
}

bool stringToBoolean(const char16_t* text, const char16_t** end) {
    if (end) *end = text;
    const std::u16string s = trimmedLower(text);
    if (s == u"true" || s == u"yes" || s == u"on" || s == u"t" || s == u"y") return true;
    if (isIntegerText(s)) return stringToInt64(s.c_str(), nullptr) != 0;
    return false;
}

bool canCoerceToBoolean(const char16_t* text) {
    const std::u16string s = trimmedLower(text);
    return s == u"true" || s == u"yes" || s == u"on" || s == u"t" || s == u"y" || s == u"false" || s == u"no" ||
           s == u"off" || s == u"f" || s == u"n" || isIntegerText(s);
}

template <class CharT>
static std::vector<std::basic_string<CharT>> splitImpl(std::basic_string_view<CharT> text,
                                                       std::basic_string_view<CharT> delimiter) {
    std::vector<std::basic_string<CharT>> pieces;
    if (text.empty()) return pieces;
    if (delimiter.empty()) {
        pieces.emplace_back(text);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        const size_t pos = text.find(delimiter, start);
        if (pos == std::basic_string_view<CharT>::npos) {
            pieces.emplace_back(text.substr(start));
            break;
        }
        pieces.emplace_back(text.substr(start, pos - start));
        start = pos + delimiter.size();
    }
    return pieces;
}

std::vector<std::u16string> splitString(std::u16string_view text, std::u16string_view delimiter) {
    return splitImpl<char16_t>(text, delimiter);
}

std::vector<std::string> splitString(std::string_view text, std::string_view delimiter) {
    return splitImpl<char>(text, delimiter);
}

std::u16string joinStrings(const std::vector<std::u16string>& pieces, std::u16string_view delimiter) {
    std::u16string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i) out += delimiter;
        out += pieces[i];
    }
    return out;
}

std::string urlEncode(std::u16string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : ConvertStringtoUTF8(text)) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::u16string toUpperAscii(std::u16string_view text) {
    std::u16string s(text);
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return s;
}

std::string toUpperAscii(std::string_view text) {
    std::string s(text);
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

bool equalsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

}  // namespace tarn::util
