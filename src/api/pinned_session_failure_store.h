#pragma once

#include <QString>

#include <optional>

// The outcome of the latest TLS check of any pinned session in this process: one of
// "tls host mismatch", "tls trust evaluation failed", "tls leaf key extraction failed",
// "tls pin mismatch" or "ok". Every check overwrites it; take() returns it once.
// Thread: any; set and take are serialised by one process-wide lock.
class PinnedSessionFailureStore {
public:
    static void set(const QString &outcome);
    static std::optional<QString> take();

    PinnedSessionFailureStore() = delete;
};
