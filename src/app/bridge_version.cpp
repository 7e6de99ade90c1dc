#include "app/bridge_version.h"

#include "app/cli_output.h"

namespace mornix {

QByteArray desktopBridgeVersionJSON()
{
    return QByteArrayLiteral("{\"protocol_version\":") + QByteArray::number(kDesktopBridgeProtocolVersion)
           + QByteArrayLiteral(",\"update_notifications\":true}");
}

int runDesktopBridgeVersion()
{
    cli::writeStdoutLine(desktopBridgeVersionJSON());
    return 0;
}

}  // namespace mornix
