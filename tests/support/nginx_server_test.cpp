// The nginx harness itself: the other network tests stand on it.
#include "support/nginx_server.h"

#include <gtest/gtest.h>

TEST(NginxServer, ServesItsRootOnLoopbackAndLogsRequests) {
    TempDir root;
    root.write("dir/hello.txt", "hello");
    NginxServer server(root.path());
    ASSERT_TRUE(server.started()) << server.error();
    const ProcessResult fetched = runProcess({"curl", "-sS", "-A", "probe", server.baseUrl() + "dir/hello.txt"});
    EXPECT_EQ(fetched.out, "hello") << fetched.err;
    server.stop();
    EXPECT_NE(server.accessLog().find("\"GET /dir/hello.txt HTTP/1.1\" 200 5 \"-\" \"probe\""), std::string::npos)
        << server.accessLog();
}
