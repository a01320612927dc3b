// Starts Debian's lighttpd in the foreground with a configuration of its own.
#include "support/lighttpd_server.h"

#include <filesystem>

namespace {

std::string configFor(const TempDir& work, const std::string& root, int port) {
    std::string config;
    config += "server.document-root = \"" + root + "\"\nserver.bind = \"127.0.0.1\"\n";
    config += "server.port = " + std::to_string(port) + "\nserver.errorlog = \"" + work.file("error.log") + "\"\n";
    config += "server.modules = ( \"mod_accesslog\" )\naccesslog.filename = \"" + work.file("access.log") + "\"\n";
    config += "accesslog.format = \"%h \\\"%r\\\" %>s %b \\\"%{Range}i\\\"\"\n";
    config += "mimetype.assign = ( \"\" => \"application/octet-stream\" )\n";
    return config;
}

}  // namespace

LighttpdServer::LighttpdServer(const std::string& root)
    : server_("lighttpd", findProgram({"/usr/sbin/lighttpd"}),
              [&](const TempDir& work, int port) {
                  work.write("lighttpd.conf", configFor(work, std::filesystem::absolute(root).string(), port));
                  return std::vector<std::string>{"/usr/sbin/lighttpd", "-D", "-f", work.file("lighttpd.conf")};
              },
              "error.log") {}
