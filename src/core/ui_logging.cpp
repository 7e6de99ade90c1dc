#include "core/ui_logging.h"

Q_LOGGING_CATEGORY(lcUi, "mornix.ui")
