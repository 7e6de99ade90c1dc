#pragma once

#include <QByteArray>

namespace mornix {

// The desktop bridge protocol this program speaks, as reported to the companion application.
inline constexpr int kDesktopBridgeProtocolVersion = 1;

// The one-line JSON text of "--desktop-bridge-version" (without the newline).
QByteArray desktopBridgeVersionJSON();

// Mode "--desktop-bridge-version": prints the protocol line; exit status 0.
int runDesktopBridgeVersion();

}  // namespace mornix
