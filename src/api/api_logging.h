#pragma once

#include <QLoggingCategory>

namespace mornix {

// Logging category of the service-communication subsystem.
Q_DECLARE_LOGGING_CATEGORY(lcApi)

}  // namespace mornix
