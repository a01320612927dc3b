// Which hosts go through the proxy, and how Windows' per-user settings read.
#include "net/proxy.h"

#include <gtest/gtest.h>

#include "net/download_manager.h"

TEST(Proxy, BypassListsAsCurlReadsThem) {
    struct Case {
        const char* bypass;
        const char* host;
        bool proxied;
    };
    const Case cases[] = {
        {"", "example.com", true},
        {"*", "example.com", false},
        {"example.com", "example.com", false},
        {"example.com", "EXAMPLE.com", false},
        {"example.com", "cdn.example.com", false},
        {".example.com", "cdn.example.com", false},
        {".example.com", "example.com", false},
        {"example.com", "badexample.com", true},
        {"other.org, example.com ", "example.com", false},
        {"127.0.0.1", "127.0.0.1", false},
        {"127.0.0.1", "127.0.0.2", true},
        {"[::1]", "::1", false},
        {"localhost,,", "localhost", false},
    };
    for (const Case& c : cases) {
        ProxySettings settings{"http://proxy:3128", c.bypass};
        EXPECT_EQ(useProxyFor(settings, c.host), c.proxied) << c.bypass << " / " << c.host;
    }
    EXPECT_FALSE(useProxyFor(ProxySettings{"", ""}, "example.com"));
}

TEST(Proxy, WindowsUserSettings) {
    struct Case {
        const char* server;
        const char* overrides;
        const char* address;
        const char* bypass;
    };
    const Case cases[] = {
        {"proxy:8080", "", "proxy:8080", ""},
        {"https=s:1;http=p:2;ftp=f:3", "", "p:2", ""},
        {"https=s:1", "", "", ""},
        {"proxy:8080", "*.corp;10.0.0.1;<local>", "proxy:8080", ".corp,10.0.0.1"},
    };
    for (const Case& c : cases) {
        const ProxySettings settings = proxySettingsFromWindows(c.server, c.overrides);
        EXPECT_EQ(settings.address, c.address) << c.server;
        EXPECT_EQ(settings.bypass, c.bypass) << c.overrides;
    }
}

TEST(Retry, WaitsDoubleAndHonourAShortRetryAfter) {
    EXPECT_EQ(retryDelayMs(0, 1000, -1), 1000);
    EXPECT_EQ(retryDelayMs(1, 1000, -1), 2000);
    EXPECT_EQ(retryDelayMs(2, 1000, -1), 4000);
    EXPECT_EQ(retryDelayMs(0, 1000, 0), 0);
    EXPECT_EQ(retryDelayMs(2, 1000, 30), 30000);
    // Longer than the updater waits: its own schedule instead.
    EXPECT_EQ(retryDelayMs(1, 1000, 31), 2000);
}
