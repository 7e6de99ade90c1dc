#include "api/api_logging.h"

Q_LOGGING_CATEGORY(lcApi, "mornix.api")
