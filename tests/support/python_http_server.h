// Python's http.server serving a folder on a loopback port, started and stopped by the test.
// It looks files up by the decoded path, so only a client that percent-encodes what an
// address may not hold (spaces, letters beyond ASCII) gets them.
#pragma once

#include <string>

#include "support/loopback_server.h"

class PythonHttpServer {
public:
    // Serves `root` on 127.0.0.1 at a free port. Check installed() and started().
    explicit PythonHttpServer(const std::string& root);

    bool installed() const { return server_.installed(); }
    bool started() const { return server_.started(); }
    const std::string& error() const { return server_.error(); }
    // "http://127.0.0.1:PORT/"
    std::string baseUrl() const { return server_.baseUrl(); }
    // What the server wrote to its standard error so far: a line per request, with its status.
    std::string requestLog() const;

private:
    LoopbackServer server_;
};
