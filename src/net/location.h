// Reading a redirect's Location header into the next address to fetch. The text comes from the
// network: anything it does not plainly mean is refused.
#pragma once

#include <string>

struct Url;

// Resolves `location` (the header's value) against `base`, the address that answered with it:
// an absolute "http://" or "https://" address (any letter case), a scheme-relative "//host/...",
// a path "/...", a query "?..." or a path relative to the base's folder ("a/b", "../c"); dot
// segments are removed and a fragment ("#...") dropped. Bytes a request line may not carry
// (space, 0x80 and above, ...) are percent-encoded. The credentials of `base` are kept only
// while the host stays the same. False, with `target` untouched, for an empty value, one with
// control bytes, another scheme ("ftp:", "javascript:"), or an address without a host.
bool resolveLocation(const std::string& base, const std::string& location, std::string& target);
// The same for a base already taken apart (see parseUrl).
bool resolveLocation(const Url& base, const std::string& location, std::string& target);
