#pragma once

#include <QCoroTask>

#include <functional>

namespace mornix {

// Runs one asynchronous command-line mode: creates the core application (no display needed),
// starts the task on the main thread's event loop and returns the task's exit status once it
// has finished. Exactly one task runs.
int runAsyncMode(int &argc, char **argv, std::function<QCoro::Task<int>()> body);

}  // namespace mornix
