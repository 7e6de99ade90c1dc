#pragma once

#include <QHostAddress>

#include <optional>

namespace mornix {

// Who owns a local TCP socket. A server that accepted a connection from this machine asks for
// the owner of the connection's other end: the socket whose local endpoint is the connection's
// peer address and port, and whose remote endpoint is the server's own address and port.
// Thread: any; each call is a short blocking query of the kernel.
class SocketOwners {
public:
    virtual ~SocketOwners() = default;

    // The user id owning the connected TCP socket `local` ↔ `remote` (IPv4 or IPv6); nullopt
    // when no such socket exists (any more) or the system cannot say.
    virtual std::optional<quint32> ownerOfConnection(const QHostAddress &localAddress, quint16 localPort,
                                                     const QHostAddress &remoteAddress, quint16 remotePort) const = 0;
    // The effective user id of this process.
    virtual quint32 currentUser() const = 0;
};

}  // namespace mornix
