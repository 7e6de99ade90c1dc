#include "api/pinned_session_failure_store.h"

#include <QMutexLocker>

namespace mornix {

void PinnedSessionFailureStore::set(const QString &outcome)
{
    QMutexLocker locker(&m_mutex);
    m_outcome = outcome;
}

std::optional<QString> PinnedSessionFailureStore::take()
{
    QMutexLocker locker(&m_mutex);
    std::optional<QString> outcome;
    outcome.swap(m_outcome);
    return outcome;
}

}  // namespace mornix
