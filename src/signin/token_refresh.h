#pragma once

#include "identity/credential_records.h"
#include "signin/pinned_api_clients.h"

#include <QObject>
#include <QString>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace mornix {

class ControllerState;
class KeychainStore;

// Renews the bearer token of the device's credentials at their refresh base URL (the Supabase
// refresh for Supabase sign-ins, else the OAuth refresh grant), saves the renewed credentials in
// the keychain and only then hands them to the state. Thread: main thread; a refresh in flight
// holds this object weakly and ends quietly when it is gone.
class TokenRefresh : public QObject {
    Q_OBJECT
public:
    // state must outlive this object.
    TokenRefresh(ControllerState &state, PinnedAPIClients clients, std::shared_ptr<KeychainStore> keychain,
                 QObject *parent = nullptr);

    // Never throws. Without a service client or a refresh token nothing is refreshed. Not forced,
    // the token is renewed within 60 s of its expiry; the credentials to use next (the given ones
    // when nothing was renewed). Forced: the renewed credentials, or nullopt when none came.
    QCoro::Task<std::optional<DeviceCredentials>> refreshIfNeeded(DeviceCredentials credentials, bool force);

private:
    QCoro::Task<DeviceCredentials> renew(DeviceCredentials credentials);

    ControllerState &m_state;
    PinnedAPIClients m_clients;
    std::shared_ptr<KeychainStore> m_keychain;
};

}  // namespace mornix
