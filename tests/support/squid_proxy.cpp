// Starts Debian's squid in the foreground (-N) with its configuration, cache, logs and pid file
// in the test's own folder.
#include "support/squid_proxy.h"

#include <unistd.h>

namespace {

const char* const kSquid = "/usr/sbin/squid";

std::string configFor(const TempDir& work, int port, int originPort) {
    const std::string dir = work.path();
    std::string config;
    if (originPort > 0) {
        const std::string origin = "127.0.0.1:" + std::to_string(originPort);
        config += "http_port 127.0.0.1:" + std::to_string(port) + " accel defaultsite=" + origin + "\n";
        config += "cache_peer 127.0.0.1 parent " + std::to_string(originPort) + " 0 no-query originserver name=origin\n";
        config += "cache_peer_access origin allow all\n";
    } else {
        config += "http_port 127.0.0.1:" + std::to_string(port) + "\n";
    }
    config += "visible_hostname kib-test\nhttp_access allow all\n";
    config += "pid_filename " + dir + "/squid.pid\ncache_log " + dir + "/cache.log\n";
    config += "access_log stdio:" + dir + "/access.log squid\ncache_store_log none\ncoredump_dir " + dir + "\n";
    config += "cache_dir ufs " + dir + "/cache 256 4 16\ncache_mem 64 MB\n";
    config += "maximum_object_size 128 MB\nmaximum_object_size_in_memory 64 MB\n";
    config += "netdb_filename none\npinger_enable off\nshutdown_lifetime 0 seconds\n";
    // Squid runs as this account when started by root.
    if (geteuid() == 0) config += "cache_effective_user proxy\n";
    // Fresh for a day whatever the origin says, query addresses included: only a client's
    // no-cache gets past it.
    config += "refresh_pattern . 1440 100% 10080 override-expire override-lastmod\n";
    return config;
}

LoopbackServer::CommandForPort squidCommand(int originPort) {
    return [originPort](const TempDir& work, int port) {
        work.write("squid.conf", configFor(work, port, originPort));
        handOverToServerAccount(work.path(), "proxy");
        // -z makes the cache folders and returns.
        runProcess({kSquid, "-z", "-N", "-f", work.file("squid.conf")}, ProcessOptions{"", {}, {}, 20000});
        return std::vector<std::string>{kSquid, "-N", "-f", work.file("squid.conf")};
    };
}

}  // namespace

SquidProxy::SquidProxy() : server_("squid", findProgram({kSquid}), squidCommand(0), "cache.log") {}

SquidProxy::SquidProxy(int originPort)
    : server_("squid", findProgram({kSquid}), squidCommand(originPort), "cache.log") {}
