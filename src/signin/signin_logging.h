#pragma once

#include <QLoggingCategory>

namespace mornix {

// The logging category of the sign-in and enrollment flows ("mornix.signin").
Q_DECLARE_LOGGING_CATEGORY(lcSignIn)

}  // namespace mornix
