// A private certificate authority made with the openssl command.
#include "support/test_ca.h"

#include "support/process.h"

namespace {

// P-256 keys: made in a moment, and every TLS library here takes them.
const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};

bool runOpenssl(std::vector<std::string> arguments, std::string& error) {
    arguments.insert(arguments.begin(), "openssl");
    const ProcessResult result = runProcess(arguments, ProcessOptions{"", {}, {}, 30000});
    if (result.exitCode == 0) return true;
    if (error.empty()) error = "openssl " + arguments[1] + " failed: " + result.err;
    return false;
}

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

}  // namespace

TestCa::TestCa(const std::string& commonName) {
    runOpenssl(with({"req", "-x509"}, with(kNewKey, {"-keyout", dir_.file("ca.key"), "-out", certificateFile(),
                                                     "-days", "30", "-subj", "/CN=" + commonName})),
               error_);
}

NginxTls TestCa::issue(const std::string& name, bool expired) {
    const std::string stem = dir_.file("server" + std::to_string(++issued_));
    // What a browser-grade check wants: the name as an alternative name, for server use only.
    dir_.write("server" + std::to_string(issued_) + ".ext",
               "subjectAltName=DNS:" + name + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    // -days -1 ends the validity a day before it starts (now): expired.
    const bool issued =
        runOpenssl(with({"req", "-new"}, with(kNewKey, {"-keyout", stem + ".key", "-out", stem + ".csr", "-subj",
                                                        "/CN=" + name})),
                   error_) &&
        runOpenssl({"x509", "-req", "-in", stem + ".csr", "-CA", certificateFile(), "-CAkey", dir_.file("ca.key"),
                    "-set_serial", std::to_string(1000 + issued_), "-days", expired ? "-1" : "30", "-extfile",
                    stem + ".ext", "-out", stem + ".pem"},
                   error_);
    if (!issued) return {};
    return {stem + ".pem", stem + ".key"};
}
