#pragma once

#include <QString>

namespace mornix {

// How the interface names this device and the store that keeps its secrets, in running text:
// "Use your Veltro account to securely connect this Mac.", "Credentials remain in the macOS
// Keychain.". Only words shown to a person come from here; wire values (the device-name
// fallback, the collectors) never do. Thread: any; never blocks.
class DeviceTerms {
public:
    virtual ~DeviceTerms() = default;

    // The device as the object of a sentence, lower case: "this Mac" on macOS, "this computer"
    // on Linux.
    virtual QString deviceNoun() const = 0;
    // The keychain the credentials are kept in, with its article, as used after "in": "the
    // macOS Keychain" on macOS; on Linux the backend in use (see its implementation).
    virtual QString keychainName() const = 0;
    // One sentence on who starts the app at sign-in and controls that permission: "macOS
    // manages permission to run this app when you sign in." on macOS.
    virtual QString loginStartDetail() const = 0;

    // `text` with its first letter in upper case ("This computer").
    static QString capitalized(const QString &text)
    {
        return text.isEmpty() ? text : text.left(1).toUpper() + text.mid(1);
    }
};

}  // namespace mornix
