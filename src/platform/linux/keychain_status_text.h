#pragma once

#include <QString>

// The messages of the keychain status codes (platform/keychain.h); empty for unknown codes.
QString keychainStatusText(int status);
