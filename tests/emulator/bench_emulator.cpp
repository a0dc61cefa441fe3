// Prints throughput figures of pelox-emulator: sequential and parallel SOAP
// calls, a job from launch to finish, and HTTP transfers. Not a test: run
// build*/tests/emulator/emulator_bench and read the numbers.
#include "support/emulator_launcher.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace pelox::testsupport;
using Clock = std::chrono::steady_clock;

static double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

int main() {
    Emulator e;
    std::string sid = e.login();

    const int n = 500;
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) e.soap("/qorvane/locator", "<qor:ListMethods/>");
    double s = secondsSince(t0);
    std::printf("sequential ListMethods: %d calls in %.3f s = %.0f calls/s (%.2f ms each)\n", n, s, n / s, 1000 * s / n);

    t0 = Clock::now();
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < n / 8; ++i)
                if (e.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>").status == 200) ++ok;
        });
    for (auto& t : threads) t.join();
    s = secondsSince(t0);
    std::printf("8 threads GetConfigurationSettings: %d ok in %.3f s = %.0f calls/s\n", ok.load(), s, ok / s);

    const int jobs = 50;
    t0 = Clock::now();
    for (int i = 0; i < jobs; ++i) {
        auto r = e.soap("/qorvane/runner",
                        "<qor:LaunchBlockingJob><sessionID>" + sid +
                            "</sessionID><protocolName>Examples/Add Numbers</protocolName><msTimeout>5000</msTimeout>"
                            "<flags>1</flags></qor:LaunchBlockingJob>");
        if (xmlValue(r.body, "status") != "0") std::printf("job %d did not finish: %s\n", i, r.body.c_str());
    }
    s = secondsSince(t0);
    std::printf("blocking launch to finish (Add Numbers): %d jobs in %.3f s = %.1f ms each\n", jobs, s, 1000 * s / jobs);

    std::string data(32 << 20, 'd');
    for (size_t i = 0; i < data.size(); i += 4096) data[i] = char(i * 7);
    t0 = Clock::now();
    auto up = httpRequest(e.port(), "POST", "/qorvane/upload?filename=bench.bin&SID=" + sid, data);
    s = secondsSince(t0);
    std::printf("upload service 32 MiB: status %d, %.3f s = %.0f MiB/s\n", up.status, s, 32 / s);
    t0 = Clock::now();
    auto down = httpRequest(e.port(), "GET", "/qorvane/download?filename=bench.bin&SID=" + sid);
    s = secondsSince(t0);
    std::printf("download service 32 MiB: status %d, %zu bytes, %.3f s = %.0f MiB/s\n", down.status, down.body.size(), s,
                32 / s);
    return 0;
}
