// What a run learns about servers that carry several requests at once.
#include "net/pipelining.h"

bool PipeliningMemory::pipelines(const std::string& server) const {
    std::lock_guard<std::mutex> hold(lock_);
    return noPipelining_.count(server) == 0;
}

void PipeliningMemory::stopPipelining(const std::string& server) {
    std::lock_guard<std::mutex> hold(lock_);
    noPipelining_.insert(server);
}

bool PipeliningMemory::speaksHttp2(const std::string& server) const {
    std::lock_guard<std::mutex> hold(lock_);
    return noHttp2_.count(server) == 0;
}

void PipeliningMemory::stopHttp2(const std::string& server) {
    std::lock_guard<std::mutex> hold(lock_);
    noHttp2_.insert(server);
}
