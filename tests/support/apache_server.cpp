// Starts Debian's Apache httpd in the foreground (-X, one process) with a configuration of its own.
#include "support/apache_server.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

const char* const kApacheForcedCompression = "SetOutputFilter DEFLATE\nSetEnv force-gzip 1\n";

namespace {

const char* const kModules = "/usr/lib/apache2/modules/";

std::string configFor(const TempDir& work, const std::string& root, int port, const std::string& directoryConfig) {
    const std::string dir = work.path();
    std::string config;
    config += "ServerRoot " + dir + "\nServerName 127.0.0.1\nListen 127.0.0.1:" + std::to_string(port) + "\n";
    config += "PidFile " + dir + "/httpd.pid\nMutex file:" + dir + " default\nErrorLog " + dir + "/error.log\n";
    for (const char* module : {"mpm_prefork", "authz_core", "mime", "filter", "deflate", "env", "setenvif", "headers"})
        config += std::string("LoadModule ") + module + "_module " + kModules + "mod_" + module + ".so\n";
    // Root may not serve pages: httpd then drops to Debian's account for it.
    if (geteuid() == 0) {
        config += "User www-data\nGroup www-data\n";
    } else if (const passwd* self = getpwuid(geteuid())) {
        config += std::string("User ") + self->pw_name + "\n";
    }
    config += "TypesConfig /etc/mime.types\n";
    config += "LogFormat \"%h \\\"%r\\\" %>s %B \\\"%{Accept-Encoding}i\\\" \\\"%{Range}i\\\"\" kib\n";
    config += "CustomLog " + dir + "/access.log kib\n";
    config += "DocumentRoot \"" + root + "\"\n<Directory \"" + root + "\">\nRequire all granted\n" + directoryConfig + "</Directory>\n";
    return config;
}

}  // namespace

ApacheServer::ApacheServer(const std::string& root, const std::string& directoryConfig)
    : server_("Apache httpd", findProgram({"/usr/sbin/apache2"}),
              [&](const TempDir& work, int port) {
                  const std::string absoluteRoot = std::filesystem::absolute(root).string();
                  chmod(absoluteRoot.c_str(), 0755);
                  work.write("httpd.conf", configFor(work, absoluteRoot, port, directoryConfig));
                  handOverToServerAccount(work.path(), "www-data");
                  return std::vector<std::string>{"/usr/sbin/apache2", "-X", "-f", work.file("httpd.conf")};
              },
              "error.log") {}
