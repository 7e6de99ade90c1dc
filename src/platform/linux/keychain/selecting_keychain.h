#pragma once

#include "platform/keychain.h"
#include "platform/linux/keychain/secret_service_client.h"

#include <QMutex>
#include <QString>

#include <memory>
#include <optional>

namespace mornix {

// The production keychain: the Secret Service or the file store, and always the one that holds
// this user's items. The backend that first held an item is recorded in the marker file
// "keychain-backend" of the data directory ($XDG_DATA_HOME/VeltroMornix) and used from then on.
// When the recorded backend cannot be reached (the Secret Service went away), every call fails
// with keychain_status::notAvailable and a clear error goes to the log: the agent runs signed
// out with its items intact, and no key or credentials are ever created in the other backend.
//
// Without a marker: a file store that already holds items wins (it is recorded at once);
// otherwise the Secret Service when the session bus offers org.freedesktop.secrets (asked of the
// bus daemon, not through the module), else the file store; it is recorded by the first call
// that finds or stores an item.
// A forced backend (VELTRO_KEYCHAIN=secret-service|file, read by the composition root) is used
// as given and neither reads nor writes the marker.
// When the Secret Service module cannot be used (missing, not sealed, sealed by another signer)
// while the bus offers a Secret Service, or the Secret Service is forced or recorded, the
// keychain is unavailable: every call fails with notAvailable, the log names the module and why,
// and nothing goes into the file store.
// Construction touches nothing (the bridge's quick modes never connect to the bus nor load the
// Secret Service module).
// Thread: any.
class SelectingKeychain : public Keychain {
public:
    enum class Backend { secretService, file };

    // forced: the backend to use regardless of marker and bus; none: chosen as described above.
    // dataDirectory empty: the user's data directory + "/VeltroMornix", resolved on first use.
    explicit SelectingKeychain(secret_service::Client secretService, std::optional<Backend> forced = std::nullopt,
                               QString dataDirectory = {});

    int readGenericPassword(const QString &service, const QString &account, QByteArray &data) override;
    int addGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int updateGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int deleteGenericPassword(const QString &service, const QString &account) override;
    int readKey(const QByteArray &applicationTag, QByteArray &keyData) override;
    int addKey(const QByteArray &applicationTag, const QByteArray &keyData) override;
    int deleteKey(const QByteArray &applicationTag) override;

    // The backend this user's items are kept in, as far as it is known without blocking: the one
    // chosen by the first call, or the forced one; none before the first call and
    // while the recorded backend cannot be reached. Never waits for a call in progress.
    std::optional<Backend> backendInUse() const;

    static QString backendName(Backend backend);  // "secret-service" / "file"
    // The backend a name (surrounding white space ignored) stands for; none for any other text.
    static std::optional<Backend> parseBackendName(const QByteArray &text);
    static constexpr const char *markerFileName = "keychain-backend";

private:
    Keychain &backend();
    // After a call that found or stored an item: records the backend when not yet recorded.
    int noted(int status);
    void recordBackend();

    const secret_service::Client m_secretService;
    const std::optional<Backend> m_forced;
    QMutex m_mutex;
    QString m_dataDirectory;
    std::unique_ptr<Keychain> m_backend;
    std::optional<Backend> m_choice;  // the backend in use, once chosen (none: unavailable)
    mutable QMutex m_inUseMutex;      // guards m_inUse only (never held across a call)
    std::optional<Backend> m_inUse;   // m_choice, published for backendInUse()
    bool m_recorded = false;          // the marker names m_choice (or a forced backend is used)
};

}  // namespace mornix
