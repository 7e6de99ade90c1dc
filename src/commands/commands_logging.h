#pragma once

#include <QLoggingCategory>

namespace mornix {

// The logging category of the command subsystem: poll loop, journal and executor ("mornix.commands").
Q_DECLARE_LOGGING_CATEGORY(lcCommands)

}  // namespace mornix
