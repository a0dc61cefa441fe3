// The platform parts of the test support (posix/, win32/), used by the
// platform-neutral emulator_launcher.cpp.
#pragma once

#include <string>

namespace pelox::testsupport::detail {

// Sends request to 127.0.0.1:port over a fresh connection and reads the
// reply until the peer closes (or 30 seconds pass without data). False when
// the connection could not be made; a send that fails midway still reads
// what came back.
bool exchange(int port, const std::string& request, std::string& reply);

// True when the environment variable PELOX_KEEP_EMULATOR_ROOT is "1": the
// emulator's temporary directory is kept for a look.
bool keepEmulatorRoot();

}  // namespace pelox::testsupport::detail
