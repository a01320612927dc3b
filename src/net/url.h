// Web addresses as the updater meets them: the configuration's, the manifest's and a redirect's.
// Pure text work, no network; any thread.
#pragma once

#include <string>

// One address taken apart. Only "http" and "https" are schemes this updater knows.
struct Url {
    // Lowercase; "http" when the address names none.
    std::string scheme = "http";
    // "name", "name:port" or "[v6]:port", without the credentials.
    std::string host;
    // Starts with "/"; keeps the query.
    std::string path;
    // "user:password" as written (percent-encoded); empty when none.
    std::string userInfo;
    bool hasUserInfo = false;
};

// Splits at the first "http://" or "https://" in any letter case (anything before it is
// ignored; without one the host starts at the beginning) and the first "/" behind the host.
// "user:password@" in front of the host becomes `userInfo`. False, with `url` untouched, when
// there is no "/" behind the host.
bool parseUrl(const std::string& text, Url& url);
// "scheme://[userinfo@]host" followed by the path.
std::string formatUrl(const Url& url);

// Splits a host as Url keeps it ("name", "name:port", "[v6]" or "[v6]:port") into the name
// (brackets dropped) and the port (`defaultPort` when none is given). False for an empty or
// non-numeric port, one outside 1..65535, or an unbracketed name with several colons.
bool splitHostPort(const std::string& host, std::string& name, std::string& port, const char* defaultPort = "80");

// The value of an Authorization (or Proxy-Authorization) header for "user:password" as it
// stands in an address: "Basic " and the base64 of the percent-decoded text.
std::string basicAuthorization(const std::string& userInfo);

// Percent-encodes the bytes a path from a manifest line may not carry as they are: bytes of
// 0x80 and above, control bytes, space, '"', '<', '>', '\', '^', '`', '{', '|', '}', '#', '?'.
// '%' stays as it is: manifests may already hold encoded names.
std::string encodePath(const std::string& path);

// A whole address with its path encoded as by encodePath, and its query too except for its
// '?'s; the scheme, credentials and host stay as written, and so do control bytes (for the
// request to refuse). For addresses people type (the configuration's, the manifest's base),
// which may hold a space or a letter beyond ASCII.
std::string encodeAddress(const std::string& address);

// Adds `query` (without '?') to `address`: behind '?' when it has no query yet, else behind '&'.
std::string withQuery(const std::string& address, const std::string& query);

// `address` with any "user:password@" in front of its host replaced by "***@": the one place
// every address is masked before it is logged or shown. Works on any text, also one that does
// not parse (no path, another scheme, a proxy's "user:pass@host:port", words before it), and
// masks every address in it.
std::string withoutCredentials(const std::string& address);
