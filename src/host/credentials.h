// Reads the credentials that the server packs into a session ID.
//
// A session ID is "S" followed by 32 hexadecimal digits, optionally followed
// by "." and a body. The body is standard padded base64 of UTF-8 text that
// was XORed byte by byte with the repeating key "qorvane". The text holds
// lines "key=value" separated by "\n"; the key "XmldbEndPoint" names the
// catalogue (XMLDB) endpoint of the session. A session ID without a body
// carries no credentials and yields an empty endpoint.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace pelox::host {

class CCredentials {
public:
    // Keeps the credentials string (a session ID) and forgets any decoded body.
    void SetCredentialsString(std::u16string_view credentials);
    // Decodes the body into its key/value lines. Returns false (and leaves no
    // values) when the string has no body or the body is not valid base64 of
    // "key=value" lines; such a string simply carries no credentials.
    bool DecryptBody();
    // The XMLDB endpoint named by the decoded body, or an empty text.
    std::string GetXMLDBEndPoint() const;
    // Any decoded value, or an empty text.
    std::string GetValue(std::string_view key) const;

private:
    std::string credentials_;
    std::map<std::string, std::string, std::less<>> values_;
};

// Encodes a body the way the server does (used by tests and the emulator's
// counterpart): XOR with the key, then padded base64.
std::string encodeCredentialsBody(std::string_view text);

}  // namespace pelox::host
