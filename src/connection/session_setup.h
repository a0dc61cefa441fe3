// Opening a session: the client compatibility check, the login call and the
// set-up of the session record from the server's configuration, the
// credentials in the session ID and the endpoints' method lists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "connection/session_info.h"

namespace pelox {

// "{pelox} " followed by the caller's client type.
std::string clientTypeText(std::u16string_view clientTypeSuffix);

// The user name kept in the session: the text after its last "/" or "\".
std::u16string shortUserName(std::u16string_view userName);

// Asks an endpoint for its operation names with ListMethods (a null
// sessionId is left out of the request). Returns 0, -974 or -973, or throws
// the service-request exception.
int listMethods(const std::string& endpoint, const char* sessionId, std::vector<std::string>& names);

// Whether the server at the locator URL accepts this client: 0 when it
// does, -977 when it does not, or the failure of the calls.
int checkClientCompatibility(const std::string& locatorUrl, const std::string& clientType,
                             const std::string& clientVersion);

// Sends Login to the locator and returns the session ID in sessionId.
int loginCall(const std::string& locatorUrl, const std::string& name, const std::string& password,
              const std::string& clientType, const std::string& clientVersion, const std::string& clientMachine,
              std::string& sessionId);

// Fills the session record after a successful login, in this order:
// endpoints from the configuration; the XMLDB endpoint from the credentials
// in the session ID (winning over the configured one) and the catalogue
// capabilities; the runner capability; whether the server runs on this
// machine. Returns 0 or the status of the first failing step; throws the
// set-up's exceptions ("Missing SOAP XmldbEndPoint", ...).
int setUpSession(SessionInfo& session, std::u16string_view sessionId);

}  // namespace pelox
