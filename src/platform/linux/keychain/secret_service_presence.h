#pragma once

#include <QString>

namespace mornix {

namespace secret_service {

// Whether the session bus offers a Secret Service, asked of the bus daemon itself
// (org.freedesktop.DBus NameHasOwner, then ListActivatableNames, for org.freedesktop.secrets),
// without the Secret Service module: a module that cannot be used must not make a Secret
// Service on the bus look absent. False when no session bus can be reached (*why says so).
// Blocking (a round trip, at most a few seconds); thread: any.
bool sessionBusOffersSecretService(QString *why = nullptr);

}  // namespace secret_service

}  // namespace mornix
