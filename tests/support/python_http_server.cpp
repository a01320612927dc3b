// Starts `python3 -m http.server` with Debian's python3.
#include "support/python_http_server.h"

#include <filesystem>

PythonHttpServer::PythonHttpServer(const std::string& root)
    : server_("Python's http.server", findProgram({"/usr/bin/python3"}),
              [&](const TempDir& work, int port) {
                  const std::string absoluteRoot = std::filesystem::absolute(root).string();
                  // Unbuffered, so that the request lines reach the log file at once.
                  return std::vector<std::string>{"/bin/sh", "-c",
                                                  "exec /usr/bin/python3 -u -m http.server --bind 127.0.0.1 "
                                                  "--directory \"$0\" \"$1\" 2>\"$2\"",
                                                  absoluteRoot, std::to_string(port), work.file("requests.log")};
              },
              "requests.log") {}

std::string PythonHttpServer::requestLog() const { return server_.work().read("requests.log"); }
