#include "commands/commands_logging.h"

Q_LOGGING_CATEGORY(lcCommands, "mornix.commands")
