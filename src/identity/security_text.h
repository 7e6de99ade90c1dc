#pragma once

#include "identity/identity_error.h"

#include <QString>

// Texts for keychain and signing failures, shared by subsystems 4 and 5.

namespace mornix {

// The platform's message for a keychain status (empty when it has none).
QString securityStatusMessage(int status);
// "OSStatus <status>: <message>", or "OSStatus <status>" when there is no message.
QString securityStatusDescription(int status);
// The error's description, its status text (or "domain=<d> code=<c>" plus an underlying
// status's text), duplicates removed, joined with " | ".
QString securityErrorDescription(const IdentityError &error);
// Lower-case hex SHA-256 of the secret's UTF-8 bytes.
QString hashDeviceSecret(const QString &secret);

}  // namespace mornix
