#pragma once

#include "platform/socket_owners.h"

#include <QByteArray>

namespace mornix {

// SocketOwners through the kernel's socket table: NETLINK_SOCK_DIAG (inet_diag, the exact
// 4-tuple), falling back to /proc/net/tcp and /proc/net/tcp6 (the uid column of the matching
// row) where netlink is not available.
class SockDiagSocketOwners final : public SocketOwners {
public:
    std::optional<quint32> ownerOfConnection(const QHostAddress &localAddress, quint16 localPort,
                                             const QHostAddress &remoteAddress, quint16 remotePort) const override;
    quint32 currentUser() const override;

    // Each path on its own, for tests.
    static std::optional<quint32> viaNetlink(const QHostAddress &localAddress, quint16 localPort,
                                             const QHostAddress &remoteAddress, quint16 remotePort);
    static std::optional<quint32> viaProcNet(const QHostAddress &localAddress, quint16 localPort,
                                             const QHostAddress &remoteAddress, quint16 remotePort);
    // The uid of the row of a /proc/net/tcp{,6} table whose local and remote columns are the
    // given ones ("0100007F:D1B2" form: the address in the kernel's byte order, the port in hex).
    static std::optional<quint32> uidFromProcNetTable(const QByteArray &table, const QByteArray &local,
                                                      const QByteArray &remote);
};

}  // namespace mornix
