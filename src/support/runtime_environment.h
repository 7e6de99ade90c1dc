#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace mornix {

// The environment variables the agent's own code acts on, read once at start by the
// composition root (app/process_environment.h) and handed down by value (in Config, then by
// constructor), so no collaborator reads the process environment itself. Qt and the system
// libraries still read what they need on their own (the XDG directories, the session bus
// address, the display for the platform plugin); the values here are those our code decides on.
// Every field holds the variable as set; empty (nullopt for the secret) when unset.
struct RuntimeEnvironment {
    // VELTRO_MDM_ENROLLMENT_SECRET, not trimmed; an empty value is kept apart from an unset one.
    std::optional<QString> mdmEnrollmentSecret;
    // VELTRO_KEYCHAIN: "secret-service" or "file" forces that keychain; anything else forces none.
    QByteArray keychainBackend;
    // VELTRO_TPM_TCTI: how to reach the TPM (e.g. "swtpm:host=127.0.0.1,port=2321"); empty: the
    // kernel resource manager.
    QString tpmTcti;
    // BROWSER: colon-separated commands that open a web page, tried before xdg-open.
    QString browser;
    // VELTRO_NOTIFICATION_LAUNCH=1: started for a user notification (by the waiter of
    // --notify-update).
    bool notificationLaunch = false;
    // The window system and the session, for the checks made before Qt or GLib are asked.
    QByteArray display;            // DISPLAY
    QByteArray waylandDisplay;     // WAYLAND_DISPLAY
    QByteArray qpaPlatform;        // QT_QPA_PLATFORM
    QByteArray runtimeDirectory;   // XDG_RUNTIME_DIR
    QByteArray sessionBusAddress;  // DBUS_SESSION_BUS_ADDRESS
};

}  // namespace mornix
