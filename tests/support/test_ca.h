// A private certificate authority made by the test with Debian's openssl, and the server
// certificates it signs, in a folder of its own.
#pragma once

#include <string>

#include "support/nginx_server.h"
#include "support/temp_dir.h"

class TestCa {
public:
    // Makes the authority's key and self-signed certificate named `commonName`. Check made().
    explicit TestCa(const std::string& commonName = "kib test CA");

    bool made() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // The authority's certificate (PEM), for SSL_CERT_FILE.
    std::string certificateFile() const { return dir_.file("ca.pem"); }
    // A server certificate for the DNS name `name`, valid from now for 30 days, or, with
    // `expired`, one whose validity ended a day ago. Empty files (and error()) on failure.
    NginxTls issue(const std::string& name, bool expired = false);

private:
    TempDir dir_;
    int issued_ = 0;
    std::string error_;
};
