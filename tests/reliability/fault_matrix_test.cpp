// Every service export against every fault the emulator can inject, at each
// request the export makes, plus a port that refuses connections: each call
// ends in a status code, error records carry the server's messages, no lock
// stays held (the same call from another thread succeeds right after), no
// local file is harmed. Leaks are left to the AddressSanitizer build.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "connection/channel.h"
#include "registry/access.h"
#include "reliability/export_table.h"
#include "support/test_platform.h"

using namespace pelox::reliability;

namespace {

const char* const kSentinel = "local file that a failed call must leave alone\n";

// The operations a call made, in order, from the emulator's request log.
std::vector<std::string> operations(const std::string& log) {
    std::vector<std::string> ops;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string stamp, method, path, op;
        words >> stamp >> method >> path >> op;
        if (op.empty() || op == "control" || op == "?" || op == "-") continue;
        if (std::find(ops.begin(), ops.end(), op) == ops.end()) ops.push_back(op);
    }
    return ops;
}

// A loopback port that refuses connections: bound, never listening.
struct RefusingPort {
    RefusingPort() : fd(pelox::testsupport::bindLoopback(port)) {}
    ~RefusingPort() { pelox::testsupport::closeSocket(fd); }
    int port = 0;
    pelox::testsupport::Socket fd;
};

template <class S>
void replaceAll(S& s, const S& from, const S& to) {
    for (size_t at = s.find(from); at != S::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

// Points a session record and job records at another port for the life of
// this object.
class Redirect {
public:
    Redirect(Fixture& f, const std::u16string& sid, std::vector<std::u16string> jobs, int32_t info, int fromPort,
             int toPort)
        : f_(f), sid_(sid), savedUrl_(f.url), info_(info) {
        const std::string from = "127.0.0.1:" + std::to_string(fromPort), to = "127.0.0.1:" + std::to_string(toPort);
        const std::u16string wfrom = u16(from), wto = u16(to);
        replaceAll(f.url, wfrom, wto);
        EXPECT_TRUE(pelox::registry::copySession(sid, saved_));
        pelox::SessionInfo s = saved_;
        for (std::string* e : {&s.serverUrl, &s.xmldbEndpoint, &s.fileEndpoint, &s.runnerEndpoint})
            replaceAll(*e, from, to);
        for (std::u16string* e : {&s.uploadEndpoint, &s.downloadEndpoint, &s.serverRoot}) replaceAll(*e, wfrom, wto);
        pelox::registry::putSession(sid, s);
        for (const auto& id : jobs) {
            pelox::HeldJob job;
            if (id.empty() || !pelox::registry::findJob(id, job)) continue;
            jobs_.emplace_back(id, job->jobEndpoint);
            replaceAll(job->jobEndpoint, from, to);
        }
        // A protocol info keeps the catalogue endpoint it was read from.
        auto record = pelox::registry::lockProtocolInfo(info_);
        savedInfoEndpoint_ = record->xmldbEndpoint;
        replaceAll(record->xmldbEndpoint, from, to);
    }
    ~Redirect() {
        f_.url = savedUrl_;
        pelox::registry::putSession(sid_, saved_);
        for (const auto& [id, endpoint] : jobs_) {
            pelox::HeldJob job;
            if (pelox::registry::findJob(id, job)) job->jobEndpoint = endpoint;
        }
        pelox::registry::lockProtocolInfo(info_)->xmldbEndpoint = savedInfoEndpoint_;
    }

private:
    Fixture& f_;
    std::u16string sid_, savedUrl_;
    int32_t info_;
    std::string savedInfoEndpoint_;
    pelox::SessionInfo saved_;
    std::vector<std::pair<std::u16string, std::string>> jobs_;
};

struct Kind {
    const char* name;
    const char* rule;  // query after "op=<op>&"
};

const Kind kKinds[] = {
    {"soap-fault", "kind=soap-fault&count=1&string=Injected%20by%20the%20matrix&detail=first%20piece%7C%23%7Csecond%20piece"},
    {"delay", "kind=delay&ms=20&count=1"},
    {"http-500", "kind=http-500&count=1"},
    {"malformed", "kind=malformed&count=1"},
    {"truncated", "kind=truncated&count=1"},
    {"drop", "kind=drop&count=1"},
};

}  // namespace

TEST(FaultMatrix, EveryServiceExportAgainstEveryFaultKind) {
    pelox::setRetrySleeperForTesting([](int) {});
    // A foreign hardware address keeps file transfers on the server's
    // services instead of local copies.
    Fixture f({"--hw-address", "foreign"});
    Handles h(f, 0);
    RefusingPort refusing;
    std::map<std::string, std::map<std::string, int>> outcomes;  // kind -> outcome class -> count
    int cases = 0;

    const auto localIntact = [&](const std::string& where, int32_t rc, const std::vector<std::string>& before) {
        if (rc == 0) return;
        EXPECT_EQ(slurp(h.target), kSentinel) << where;
        EXPECT_EQ(entries(f.local), before) << where;
    };
    const auto followUp = [&](const Row& r, const std::string& where) {
        const int32_t rc = onOtherThread([&] {
            if (r.prepare) r.prepare(f, h);
            return r.call(f, h, Args{});
        });
        EXPECT_EQ(rc, r.expected) << where << ", the call after: " << errorText(rc);
    };
    const auto classify = [&](const std::string& kind, int32_t rc, const std::string& messages) {
        std::string c = rc > 0 ? "record" : std::to_string(rc);
        ++outcomes[kind][c];
        (void)messages;
        return c;
    };

    const auto runRow = [&](const Row& r, const std::string& road) {
        SCOPED_TRACE(std::string(r.name) + road);
        if (r.prepare) r.prepare(f, h);
        // The emulator logs a request after answering it: let the last
        // lines arrive before the log is cleared.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        f.emu->control("log?clear=1");
        int32_t rc = r.call(f, h, Args{});
        ASSERT_EQ(rc, r.expected) << errorText(rc);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::vector<std::string> ops = operations(f.emu->log());
        EXPECT_FALSE(ops.empty());

        for (const std::string& op : ops) {
            for (const Kind& k : kKinds) {
                const std::string where = std::string(r.name) + road + " / " + op + " / " + k.name;
                spit(h.target, kSentinel);
                const auto before = entries(f.local);
                if (r.prepare) r.prepare(f, h);
                f.emu->addFault("op=" + op + "&" + k.rule);
                rc = r.call(f, h, Args{});
                f.emu->clearFaults();
                ++cases;
                const std::string messages = rc > 0 ? errorText(rc) : "";
                classify(k.name, rc, messages);
                // The plain HTTP services answer a SOAP fault rule normally,
                // and the upload and status services a truncation rule. Their
                // "malformed" answer is a 200 whose body is taken as it is:
                // file bytes, status lines, an upload acknowledgement.
                const std::string kind = k.name;
                const bool plain = op == "download" || op == "upload" || op == "serverstatus";
                const bool applies = !(plain && (kind == "soap-fault" || kind == "malformed")) &&
                                     !(kind == "truncated" && (op == "upload" || op == "serverstatus"));
                if (kind == "delay" || !applies) {
                    EXPECT_EQ(rc, r.expected) << where << ": " << messages;
                } else if (kind == "soap-fault") {
                    EXPECT_GT(rc, 0) << where;
                    if (rc > 0) {
                        EXPECT_NE(messages.find("first piece | second piece"), std::string::npos) << where << ": " << messages;
                        EXPECT_NE(messages.find("Injected by the matrix"), std::string::npos) << where << ": " << messages;
                    }
                } else {
                    EXPECT_TRUE(rc == PELOX_E_SERVICE_CALL || rc > 0) << where << ": " << rc;
                    if (rc > 0) {
                        EXPECT_FALSE(messages.empty()) << where;
                    }
                }
                localIntact(where, rc, before);
                followUp(r, where);
            }
        }

        // The whole call against a port that refuses connections.
        const std::string where = std::string(r.name) + road + " / refused";
        spit(h.target, kSentinel);
        const auto before = entries(f.local);
        if (r.prepare) r.prepare(f, h);
        {
            Redirect redirect(f, h.sid, {h.job, h.scratch}, h.info, f.emu->port(), refusing.port);
            rc = r.call(f, h, Args{});
        }
        ++cases;
        const std::string messages = rc > 0 ? errorText(rc) : "";
        classify("refused", rc, messages);
        EXPECT_TRUE(rc == PELOX_E_CONNECTION || rc > 0) << where << ": " << rc;
        localIntact(where, rc, before);
        followUp(r, where);
    };
    for (const Row& r : exportRows())
        if (r.service) runRow(r, "");
    // File transfer again on the zipped-chunk road: a session that logged in
    // while the HTTP services were switched off.
    f.emu->setProfile("upload-url=off&download-url=off");
    const int32_t zipped = peloxImp_createObject(PELOX_OBJECT_STRING);
    ASSERT_EQ(pelox_login(f.url.c_str(), u"tester", u"secret", nullptr, zipped, u"reliability"), 0);
    f.emu->setProfile("upload-url=on&download-url=on");
    h.sid = string_getText(zipped);
    for (const char* name : {"pelox_uploadFile", "pelox_uploadJobFile", "pelox_downloadFile"}) runRow(row(name), " (zipped)");
    peloxImp_removeObject(PELOX_OBJECT_STRING, zipped);
    pelox::setRetrySleeperForTesting(nullptr);

    std::ostringstream summary;
    summary << cases << " faulted calls;";
    for (const auto& [kind, classes] : outcomes) {
        summary << " " << kind << ":";
        for (const auto& [c, n] : classes) summary << " " << c << "x" << n;
        summary << ";";
    }
    std::cout << summary.str() << "\n";
}
