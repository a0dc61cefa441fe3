// Server URL normalisation.
#include <gtest/gtest.h>

#include "connection/channel.h"

using pelox::normaliseServerUrl;

TEST(NormaliseServerUrl, Table) {
    const std::pair<std::string, std::string> cases[] = {
        {"qorhost", "https://qorhost:443/qorvane/locator"},
        {"http://qorhost", "http://qorhost:80/qorvane/locator"},
        {"https://qorhost", "https://qorhost:443/qorvane/locator"},
        {"http://qorhost:9944/", "http://qorhost:9944/qorvane/locator"},
        {"http://qorhost:9944", "http://qorhost:9944/qorvane/locator"},
        {"https://qorhost:9943/custom/locator", "https://qorhost:9943/custom/locator"},
        {"http://qorhost/", "http://qorhost:80/qorvane/locator"},
        {"http://qorhost/a:b", "http://qorhost:80/a:b"},
        {"myhttphost", "https://myhttphost:443/qorvane/locator"},
        {"qorhost:8080", "https://qorhost:8080/qorvane/locator"},
    };
    for (const auto& [input, expected] : cases) {
        std::string url = input;
        normaliseServerUrl(url);
        EXPECT_EQ(url, expected) << input;
        normaliseServerUrl(url);  // a normalised URL stays as it is
        EXPECT_EQ(url, expected) << input << " (twice)";
    }
}
