#include "signin/signin_logging.h"

Q_LOGGING_CATEGORY(lcSignIn, "mornix.signin")
