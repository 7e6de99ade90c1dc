#include "signin/signin_logging.h"

namespace mornix {

Q_LOGGING_CATEGORY(lcSignIn, "mornix.signin")

}  // namespace mornix
