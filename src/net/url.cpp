// Web addresses as the updater meets them: the configuration's, the manifest's and a redirect's.
#include "net/url.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lowercase(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = char(std::tolower((unsigned char)c));
    return lower;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            decoded += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::string base64(const std::string& bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned value = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        out += kAlphabet[value >> 18 & 63];
        out += kAlphabet[value >> 12 & 63];
        out += kAlphabet[value >> 6 & 63];
        out += kAlphabet[value & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned value = (unsigned char)bytes[i] << 16;
        out += kAlphabet[value >> 18 & 63];
        out += kAlphabet[value >> 12 & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned value = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += kAlphabet[value >> 18 & 63];
        out += kAlphabet[value >> 12 & 63];
        out += kAlphabet[value >> 6 & 63];
        out += '=';
    }
    return out;
}

bool mustEncode(unsigned char c) {
    if (c >= 0x80 || c <= 0x20 || c == 0x7f) return true;
    switch (c) {
    case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}': case '#': case '?':
        return true;
    default:
        return false;
    }
}

}  // namespace

bool parseUrl(const std::string& text, Url& url) {
    const std::string lower = lowercase(text);
    const size_t plain = lower.find("http://");
    const size_t secure = lower.find("https://");
    Url parsed;
    size_t hostStart = 0;
    if (secure != std::string::npos && (plain == std::string::npos || secure < plain)) {
        parsed.scheme = "https";
        hostStart = secure + 8;
    } else if (plain != std::string::npos) {
        hostStart = plain + 7;
    }
    const size_t slash = text.find('/', hostStart);
    if (slash == std::string::npos) return false;
    std::string authority = text.substr(hostStart, slash - hostStart);
    // The last '@' ends the credentials: a password may hold an unencoded '@'.
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        parsed.userInfo = authority.substr(0, at);
        parsed.hasUserInfo = true;
        authority = authority.substr(at + 1);
    }
    parsed.host = authority;
    parsed.path = text.substr(slash);
    url = parsed;
    return true;
}

std::string formatUrl(const Url& url) {
    return url.scheme + "://" + (url.hasUserInfo ? url.userInfo + "@" : "") + url.host + url.path;
}

bool splitHostPort(const std::string& host, std::string& name, std::string& port, const char* defaultPort) {
    std::string portText;
    bool hasPort = false;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(1, close - 1);
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') return false;
            portText = host.substr(close + 2);
            hasPort = true;
        }
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string::npos && host.find(':', colon + 1) != std::string::npos) return false;
        name = host.substr(0, colon);
        if (colon != std::string::npos) {
            portText = host.substr(colon + 1);
            hasPort = true;
        }
    }
    if (!hasPort) {
        port = defaultPort;
        return true;
    }
    if (portText.empty() || portText.size() > 5) return false;
    long value = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = std::to_string(value);
    return true;
}

std::string basicAuthorization(const std::string& userInfo) { return "Basic " + base64(percentDecoded(userInfo)); }

std::string encodePath(const std::string& path) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : path) {
        if (mustEncode(c)) {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        } else {
            encoded += char(c);
        }
    }
    return encoded;
}

std::string encodeAddress(const std::string& address) {
    const size_t scheme = address.find("://");
    const size_t slash = address.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (slash == std::string::npos) return address;
    const size_t query = address.find('?', slash);
    std::string encoded = address.substr(0, slash);
    for (size_t i = slash; i < address.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(address[i]);
        // A control byte stays, for the request to refuse: no editor puts one there by chance.
        if ((c == '?' && i >= query) || c < 0x20 || c == 0x7f) encoded += char(c);
        else encoded += encodePath(address.substr(i, 1));
    }
    return encoded;
}

std::string withQuery(const std::string& address, const std::string& query) {
    return address + (address.find('?') == std::string::npos ? "?" : "&") + query;
}

std::string withoutCredentials(const std::string& address) {
    // Read as text, not as an address: what fails to parse is logged too. Each authority (the
    // text behind each "://", or from the start without one, up to the next '/', as parseUrl
    // reads it) loses what stands before its last '@'.
    std::string masked;
    size_t copied = 0;
    size_t authority = address.find("://");
    authority = authority == std::string::npos ? 0 : authority + 3;
    for (;;) {
        const size_t end = std::min(address.find('/', authority), address.size());
        const size_t at = end == authority ? std::string::npos : address.rfind('@', end - 1);
        if (at != std::string::npos && at >= authority) {
            masked += address.substr(copied, authority - copied) + "***";
            copied = at;
        }
        const size_t next = address.find("://", end);
        if (next == std::string::npos) break;
        authority = next + 3;
    }
    return masked + address.substr(copied);
}
