#pragma once

#include <QLoggingCategory>

// Logging category of the service-communication subsystem.
Q_DECLARE_LOGGING_CATEGORY(lcApi)
