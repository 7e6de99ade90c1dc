#pragma once

#include <QString>

#include <functional>

namespace mornix {

// Receives one line for the operational log (the Markdown log of the running agent). An empty
// function writes nothing. Thread: whoever holds it says on which thread it is called; the
// production sink appends on the main thread.
using OperationalLog = std::function<void(const QString &line)>;

}  // namespace mornix
