// What a run learns about servers that carry several requests at once on one connection:
// those that broke HTTP/1.1 pipelining or HTTP/2 are asked the plain way for the rest of it.
#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>

// Requests one HTTP/1.1 connection carries at once: the one whose answer is read and those
// sent ahead of their turn. Enough to hide a round trip of 200 ms behind a few files of 100 KiB
// each, few enough that a connection the server closes costs little to ask again.
constexpr size_t kPipelineDepth = 12;
// Streams one HTTP/2 connection carries at once. Each holds at most its window of 256 KiB
// unread, so this also bounds the memory of a connection's answers waiting for their turn.
constexpr size_t kHttp2Streams = 16;

// Shared by all workers of a download manager (thread-safe); servers are named as
// "scheme://name:port".
class PipeliningMemory {
public:
    // False once the server broke a pipeline: it closed, answered out of turn or broke the
    // framing while requests were sent ahead, or redirected them.
    bool pipelines(const std::string& server) const;
    void stopPipelining(const std::string& server);
    // False once the server broke HTTP/2: it is asked over HTTP/1.1 from then on.
    bool speaksHttp2(const std::string& server) const;
    void stopHttp2(const std::string& server);

private:
    mutable std::mutex lock_;
    std::set<std::string> noPipelining_;
    std::set<std::string> noHttp2_;
};
