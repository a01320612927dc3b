// The registered receiver of run-ending failures.
#include "update/failure_sink.h"

#include <cstdio>
#include <cstdlib>

namespace {

FailureSink registeredSink = nullptr;

}  // namespace

void setFailureSink(FailureSink sink) { registeredSink = sink; }

void reportFailure(const std::string& failure) {
    if (registeredSink) registeredSink(failure);
    std::fprintf(stderr, "%s\n", failure.c_str());
    std::abort();
}
