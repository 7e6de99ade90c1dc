#include "commands/commands_logging.h"

namespace mornix {

Q_LOGGING_CATEGORY(lcCommands, "mornix.commands")

}  // namespace mornix
