#include "signin/pinned_api_clients.h"

#include "api/api_client.h"
#include "api/pinned_session.h"

namespace mornix {

std::shared_ptr<APIClient> PinnedAPIClients::make(const QString &baseURL) const
{
    APIClient::Collaborators collaborators;
    collaborators.enrollmentAgent = enrollmentAgent;
    collaborators.operationalLog = appendLog;
    return std::make_shared<APIClient>(makePinnedSession(baseURL, config, pinFailures), collaborators);
}

}  // namespace mornix
