// Which proxy, if any, a request goes through.
#include "net/proxy.h"

#include <cctype>
#include <cstdlib>

#include "platform/platform.h"

namespace {

std::string lowercase(std::string text) {
    for (char& c : text) c = char(std::tolower((unsigned char)c));
    return text;
}

std::string trimmed(const std::string& text) {
    size_t from = 0, to = text.size();
    while (from < to && std::isspace((unsigned char)text[from])) ++from;
    while (to > from && std::isspace((unsigned char)text[to - 1])) --to;
    return text.substr(from, to - from);
}

// The first variable that is set, as curl looks at them: the lowercase name first.
std::string variable(const char* lower, const char* upper) {
    if (const char* value = std::getenv(lower)) return value;
    if (const char* value = std::getenv(upper)) return value;
    return std::string();
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

ProxySettings proxySettingsFromSystem() {
    ProxySettings settings;
    settings.address = trimmed(variable("http_proxy", "HTTP_PROXY"));
    settings.bypass = variable("no_proxy", "NO_PROXY");
    // The variables take precedence: a player or a script that sets them means them.
    if (!settings.address.empty()) return settings;
    std::string server, overrides;
    if (!platformUserProxy(server, overrides)) return settings;
    ProxySettings system = proxySettingsFromWindows(server, overrides);
    if (!settings.bypass.empty()) system.bypass = settings.bypass + "," + system.bypass;
    return system;
}

ProxySettings proxySettingsFromWindows(const std::string& server, const std::string& overrides) {
    ProxySettings settings;
    // "http=a:1;https=b:2" names one proxy per scheme; a plain "a:1" serves them all.
    std::string start = server;
    while (!start.empty()) {
        const size_t semicolon = start.find(';');
        const std::string entry = trimmed(start.substr(0, semicolon));
        start = semicolon == std::string::npos ? "" : start.substr(semicolon + 1);
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (settings.address.empty()) settings.address = entry;
        } else if (lowercase(trimmed(entry.substr(0, equals))) == "http") {
            settings.address = trimmed(entry.substr(equals + 1));
            break;
        }
    }
    std::string rest = overrides;
    while (!rest.empty()) {
        const size_t semicolon = rest.find(';');
        std::string entry = trimmed(rest.substr(0, semicolon));
        rest = semicolon == std::string::npos ? "" : rest.substr(semicolon + 1);
        // "<local>" is every name without a dot; "*.corp" a domain suffix.
        if (entry.empty() || entry == "<local>") continue;
        if (entry.compare(0, 2, "*.") == 0) entry = entry.substr(1);
        if (!settings.bypass.empty()) settings.bypass += ",";
        settings.bypass += entry;
    }
    return settings;
}

bool useProxyFor(const ProxySettings& settings, const std::string& hostName) {
    if (settings.address.empty()) return false;
    const std::string host = lowercase(hostName);
    std::string rest = settings.bypass;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string entry = lowercase(trimmed(rest.substr(0, comma)));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        if (entry == "*") return false;
        // "[::1]" is written with brackets by some; the host here has none.
        if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
        // A leading dot means the same as none: the domain and every name under it.
        if (!entry.empty() && entry[0] == '.') entry = entry.substr(1);
        if (entry.empty()) continue;
        if (host == entry || endsWith(host, "." + entry)) return false;
    }
    return true;
}
