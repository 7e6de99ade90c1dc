#pragma once

#include <QMutex>
#include <QString>

#include <optional>

namespace mornix {

// The outcome of the latest TLS check of the pinned sessions that record into this store: one
// of "tls host mismatch", "tls trust evaluation failed", "tls leaf key extraction failed",
// "tls pin mismatch" or "ok". Every check overwrites it; take() returns it once. The composition
// root owns one per process and hands it to the sessions and to whoever reports their failures.
// Thread: any; set and take are serialised by the store's lock.
class PinnedSessionFailureStore {
public:
    void set(const QString &outcome);
    std::optional<QString> take();

private:
    QMutex m_mutex;
    std::optional<QString> m_outcome;
};

}  // namespace mornix
