#include "api/api_logging.h"

namespace mornix {

Q_LOGGING_CATEGORY(lcApi, "mornix.api")

}  // namespace mornix
