// Filling a protocol-info object from the server's description of a protocol.
#pragma once

#include <cstdint>
#include <string_view>

#include "catalogue/protocol_info.h"
#include "connection/session_info.h"
#include "peloxImp.h"

namespace pelox {

// Copies the session's endpoint and capabilities into info (which the caller
// has cleared), asks the server for the protocol's description
// (GetComponentInfo2 where offered, else GetComponentInfo) and adds the
// parameters that are meant for the caller. Returns 0, -974 or -973, or
// throws the service-request exception.
int retrieveProtocolInfo(ProtocolInfo& info, const SessionInfo& session, std::u16string_view sessionId,
                         std::u16string_view componentName, int32_t flags);

// True for the parameter names that are never listed: the ones the launch
// adds itself and the protocol's own attributes (letters A-Z without case).
bool isHiddenParameterName(std::u16string_view name);

}  // namespace pelox
