#pragma once

#include <QLoggingCategory>

namespace mornix {

// The logging category of the menu bar, dashboard and log subsystem ("mornix.ui").
Q_DECLARE_LOGGING_CATEGORY(lcUi)

}  // namespace mornix
