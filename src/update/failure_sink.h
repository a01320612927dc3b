// Where the update engine sends a failure that ends the run. The engine knows nothing of
// windows or message boxes: the application registers the routine that shows the failure and
// ends the process. Main thread only.
#pragma once

#include <string>

// Must not return: it ends the process.
using FailureSink = void (*)(const std::string& failure);

// Registers the routine reportFailure hands failures to; null unregisters it.
void setFailureSink(FailureSink sink);
// Hands `failure` (the text for the user) to the registered sink. Without a sink, or when the
// sink returns after all, the process aborts: nothing after a failed step may run on.
[[noreturn]] void reportFailure(const std::string& failure);
