// Reading the wire fixtures and building the expected request of an operation.
#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "wire/loopback_server.h"

namespace pelox::test {

inline std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(PELOX_WIRE_FIXTURES) + "/" + name, std::ios::binary);
    if (!in) throw std::runtime_error("missing fixture " + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The raw HTTP answer of a reply fixture: "<op>.reply.http" is sent as it
// is, "<op>.reply.xml" gets a 200 status line and a correct Content-Length.
inline std::string replyFixture(const std::string& op) {
    std::ifstream raw(std::string(PELOX_WIRE_FIXTURES) + "/" + op + ".reply.http", std::ios::binary);
    if (raw) {
        std::ostringstream text;
        text << raw.rdbuf();
        return text.str();
    }
    return httpReply(readFixture(op + ".reply.xml"));
}

// The expected request of an operation: its operation element placed in the
// request envelope.
inline std::string expectedRequest(const std::string& op) {
    std::string envelope = readFixture("request-envelope.xml");
    envelope.replace(envelope.find("@OPERATION@"), 11, readFixture(op + ".request.xml"));
    return envelope;
}

}  // namespace pelox::test
