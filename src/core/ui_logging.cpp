#include "core/ui_logging.h"

namespace mornix {

Q_LOGGING_CATEGORY(lcUi, "mornix.ui")

}  // namespace mornix
