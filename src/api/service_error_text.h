#pragma once

#include <QString>

#include <exception>

namespace mornix {

// The one readable description of a failure of a service call: the API client's answers
// (APIError), the pinned session's refusals (PinnedSessionError) and the transport's failures
// (TransportError); any other exception by its what(), "unknown error" when that is empty.
// The texts go to the status line and the logs; they never carry a response body.
QString describeServiceError(const std::exception &error);

}  // namespace mornix
