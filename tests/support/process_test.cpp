// The child-process helper: a sanitizer report of a child fails the test that ran it.
#include "support/process.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

TEST(ChildProcess, ASanitizerReportOfTheChildFailsTheTest) {
    EXPECT_NONFATAL_FAILURE(
        runProcess({"sh", "-c", "echo start >&2; echo 'WARNING: ThreadSanitizer: data race (pid=1)' >&2; exit 0"}),
        "sh reported:\nWARNING: ThreadSanitizer: data race");
    // Also from a child the test kills instead of waiting for it.
    EXPECT_NONFATAL_FAILURE(
        {
            ChildProcess child({"sh", "-c", "echo 'x.cpp:1:2: runtime error: signed overflow' >&2; sleep 60"});
            waitUntil([&] { return !child.errorSoFar().empty(); }, 10000);
        },
        "runtime error: signed overflow");
    // Ordinary complaints are the test's business.
    const ProcessResult result = runProcess({"sh", "-c", "echo 'ERROR: something else' >&2; exit 3"});
    EXPECT_EQ(result.exitCode, 3);
}
