// A bounded abuse run of pelox-emulator (not a test: run
// build*/tests/emulator/emulator_abuse and read the figures). Loopback only;
// every loop is bounded in count and time.
//   1. 10 000 jobs launched and finished (blocking launches, released);
//   2. 300 slow connections, one byte every 10 s, for 60 s, while a prober
//      calls the control endpoint and a SOAP operation every second;
//   3. 300 requests at once;
//   4. a 190 MiB upload through the upload service.
// After each, the server's own figures (threads, memory) from
// /qorvane-control/stats.
#include "support/emulator_launcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace pelox::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

std::map<std::string, std::string> stats(const Emulator& e) {
    std::map<std::string, std::string> out;
    std::string text = e.control("stats");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        auto colon = line.find(": ");
        if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

void report(const Emulator& e, const char* when) {
    auto s = stats(e);
    std::printf("%-34s threads %s, rss %s KiB, peak rss %s KiB, maps %s, jobs %s\n", when, s["threads"].c_str(),
                s["rss-kb"].c_str(), s["peak-rss-kb"].c_str(), s["maps"].c_str(), s["jobs"].c_str());
    std::fflush(stdout);
}

int connectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

}  // namespace

int main() {
    Emulator e;
    const std::string sid = e.login();
    report(e, "start");

    // 1. 10 000 finished jobs, four clients at once.
    {
        auto t0 = Clock::now();
        std::atomic<int> done{0}, finished{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c)
            clients.emplace_back([&] {
                while (done++ < 10000) {
                    auto r = e.soap("/qorvane/runner", "<qor:LaunchBlockingJob><sessionID>" + sid +
                                                           "</sessionID><protocolName>Examples/Add Numbers</protocolName>"
                                                           "<msTimeout>10000</msTimeout><flags>1</flags></qor:LaunchBlockingJob>");
                    if (xmlValue(r.body, "status") == "0") ++finished;
                }
            });
        for (auto& t : clients) t.join();
        std::printf("10000 blocking launches: %d finished in %.1f s\n", finished.load(), secondsSince(t0));
        report(e, "after 10000 finished jobs");
    }

    // 2. 300 slow connections for 60 s; the prober must keep getting answers.
    {
        std::atomic<bool> stop{false};
        std::atomic<int> probes{0}, probesOk{0}, reconnects{0};
        std::atomic<long long> worstMs{0};
        std::thread prober([&] {
            while (!stop) {
                auto t0 = Clock::now();
                bool ok = httpRequest(e.port(), "GET", "/qorvane-control/counts", {},
                                      {{"X-Pelox-Control-Token", e.controlToken()}}).status == 200 &&
                          e.soap("/qorvane/locator", "<qor:ListMethods/>").status == 200;
                long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
                worstMs = std::max<long long>(worstMs, ms);
                ++probes;
                if (ok) ++probesOk;
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
        std::vector<int> fds(300, -1);
        const std::string request = "POST /qorvane/locator HTTP/1.1\r\nContent-Length: 100000\r\n\r\n";
        std::vector<size_t> sent(300, 0);
        auto t0 = Clock::now();
        while (secondsSince(t0) < 60) {
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i] < 0) {
                    fds[i] = connectTo(e.port());
                    sent[i] = 0;
                    ++reconnects;
                }
                // One byte of the head (then of the body) per round.
                char byte = sent[i] < request.size() ? request[sent[i]] : 'x';
                if (::send(fds[i], &byte, 1, MSG_NOSIGNAL) != 1) {
                    ::close(fds[i]);
                    fds[i] = -1;
                } else {
                    ++sent[i];
                }
            }
            if (reconnects == 300 && secondsSince(t0) < 10) report(e, "with 300 slow connections");
            std::this_thread::sleep_for(std::chrono::seconds(10));
        }
        stop = true;
        prober.join();
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
        std::printf("300 slow connections for 60 s: prober answered %d of %d, worst %lld ms; %d connections opened\n",
                    probesOk.load(), probes.load(), worstMs.load(), reconnects.load());
        report(e, "after the slow connections");
    }

    // 3. 300 requests at once.
    {
        std::atomic<int> ok{0}, busy{0}, other{0};
        std::vector<std::thread> threads;
        auto t0 = Clock::now();
        for (int i = 0; i < 300; ++i)
            threads.emplace_back([&] {
                int s = e.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>").status;
                (s == 200 ? ok : s == 503 ? busy : other)++;
            });
        for (auto& t : threads) t.join();
        std::printf("300 parallel requests: %d answered 200, %d 503, %d other, in %.2f s\n", ok.load(), busy.load(),
                    other.load(), secondsSince(t0));
        report(e, "after 300 parallel requests");
    }

    // 4. A 190 MiB upload.
    {
        std::string data(190u << 20, 'u');
        for (size_t i = 0; i < data.size(); i += 4096) data[i] = char(i / 4096);
        long before = std::stol(stats(e)["peak-rss-kb"]);
        auto t0 = Clock::now();
        int s = httpRequest(e.port(), "POST", "/qorvane/upload?filename=big.bin&SID=" + sid, data).status;
        long after = std::stol(stats(e)["peak-rss-kb"]);
        std::printf("190 MiB upload: status %d in %.2f s; peak rss %ld KiB before, %ld KiB after\n", s, secondsSince(t0),
                    before, after);
    }
    std::printf("server still answering: %s\n", e.soap("/qorvane/locator", "<qor:ListMethods/>").status == 200 ? "yes" : "no");
    return 0;
}
