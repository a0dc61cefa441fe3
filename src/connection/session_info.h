// The session record: one per successful login, kept by value in the session
// registry under its session ID. Exports copy it at the start of their work,
// so a later login with the same ID does not disturb a call in progress.
#pragma once

#include <cstdint>
#include <string>

namespace pelox {

struct SessionInfo {
    virtual ~SessionInfo() = default;

    std::string serverUrl;       // the normalised locator URL given to login (UTF-8)
    std::string xmldbEndpoint;   // catalogue service (credentials win over configuration)
    std::string fileEndpoint;    // file service (required)
    std::u16string uploadEndpoint;    // HTTP upload service; empty when not offered
    std::u16string downloadEndpoint;  // HTTP download service; empty when not offered
    std::u16string userName;          // the login name after its last "/" or "\"
    std::u16string serverLocalRoot;   // server's local root path
    std::u16string serverJobsDirectory;  // server's jobs directory
    std::u16string clientTypeSuffix;  // the caller's client type argument, unchanged
    std::u16string serverRoot;        // server root URL (status page)
    int64_t blockingJobTimeoutMs = 0;

    // Capabilities learned from the endpoints' method lists.
    bool hasComponentInfo2 = false;      // XMLDB lists GetComponentInfo2 and ValidateParameters
    bool hasFindParameterInfo2 = false;  // XMLDB lists FindParameterInfo2
    bool hasProtocolNames = false;       // XMLDB lists GetProtocolNames
    bool hasJobResults2 = false;         // runner lists GetJobResults2
    bool hasCalculablePropertiesByCategory = false;  // XMLDB lists GetCalculablePropertiesByCategory

    // Server version flags (major version v).
    bool serverIs7OrLater = false;
    bool serverIsBefore7 = false;
    bool serverIs6OrLater = false;
    bool serverIsLocal = false;  // the server's hardware address belongs to this machine
    bool serverIs8OrLaterUpload = false;  // v >= 8: the upload service takes raw bytes
    bool cluster = true;                  // runners are handed out by the locator per launch
    std::string runnerEndpoint;           // configured runner endpoint (UTF-8); may be empty
};

}  // namespace pelox
