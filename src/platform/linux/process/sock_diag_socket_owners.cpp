#include "platform/linux/process/sock_diag_socket_owners.h"

#include "platform/posix_files.h"

#include <QFile>
#include <QList>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mornix {

namespace {

// The address in network byte order, 4 or 16 bytes; empty for anything else.
QByteArray addressBytes(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 value = htonl(address.toIPv4Address());
        return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR value = address.toIPv6Address();
        return QByteArray(reinterpret_cast<const char *>(value.c), 16);
    }
    return {};
}

// The "ADDRESS:PORT" column of /proc/net/tcp{,6}: each 32-bit word of the address printed as
// the kernel holds it in memory, the port in host order.
QByteArray procNetEndpoint(const QByteArray &address, quint16 port)
{
    QByteArray text;
    for (qsizetype at = 0; at + 4 <= address.size(); at += 4) {
        quint32 word = 0;
        std::memcpy(&word, address.constData() + at, 4);
        text += QByteArray::number(word, 16).toUpper().rightJustified(8, '0');
    }
    return text + ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
}

}  // namespace

std::optional<quint32> SockDiagSocketOwners::ownerOfConnection(const QHostAddress &localAddress, quint16 localPort,
                                                               const QHostAddress &remoteAddress,
                                                               quint16 remotePort) const
{
    if (const std::optional<quint32> uid = viaNetlink(localAddress, localPort, remoteAddress, remotePort))
        return uid;
    return viaProcNet(localAddress, localPort, remoteAddress, remotePort);
}

quint32 SockDiagSocketOwners::currentUser() const
{
    return ::geteuid();
}

std::optional<quint32> SockDiagSocketOwners::viaNetlink(const QHostAddress &localAddress, quint16 localPort,
                                                        const QHostAddress &remoteAddress, quint16 remotePort)
{
    const QByteArray local = addressBytes(localAddress);
    const QByteArray remote = addressBytes(remoteAddress);
    if (local.isEmpty() || local.size() != remote.size())
        return std::nullopt;

    posix::UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.isValid())
        return std::nullopt;
    const timeval wait{1, 0};  // the kernel answers at once; never hang on it
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;  // one exact socket, no dump
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = local.size() == 4 ? AF_INET : AF_INET6;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(localPort);
    message.request.id.idiag_dport = htons(remotePort);
    std::memcpy(message.request.id.idiag_src, local.constData(), size_t(local.size()));
    std::memcpy(message.request.id.idiag_dst, remote.constData(), size_t(remote.size()));
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel)
        != ssize_t(sizeof message))
        return std::nullopt;

    alignas(nlmsghdr) char buffer[8192];
    const ssize_t received = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (received <= 0)
        return std::nullopt;
    int remaining = int(received);
    for (auto *reply = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(reply, remaining);
         reply = NLMSG_NEXT(reply, remaining)) {
        if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY || reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return std::nullopt;  // NLMSG_ERROR: no such socket, or not supported
        const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(reply));
        // A socket no process holds any more (closed, time-wait) reports no real owner.
        if (socket->idiag_inode == 0)
            return std::nullopt;
        return socket->idiag_uid;
    }
    return std::nullopt;
}

std::optional<quint32> SockDiagSocketOwners::viaProcNet(const QHostAddress &localAddress, quint16 localPort,
                                                        const QHostAddress &remoteAddress, quint16 remotePort)
{
    const QByteArray local = addressBytes(localAddress);
    const QByteArray remote = addressBytes(remoteAddress);
    if (local.isEmpty() || local.size() != remote.size())
        return std::nullopt;
    QFile table(local.size() == 4 ? QStringLiteral("/proc/net/tcp") : QStringLiteral("/proc/net/tcp6"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A pseudo file: read until the end, its size is not known beforehand.
    return uidFromProcNetTable(table.readAll(), procNetEndpoint(local, localPort), procNetEndpoint(remote, remotePort));
}

std::optional<quint32> SockDiagSocketOwners::uidFromProcNetTable(const QByteArray &table, const QByteArray &local,
                                                                 const QByteArray &remote)
{
    // Columns: sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> columns = line.simplified().split(' ');
        if (columns.size() < 10 || columns.at(1) != local || columns.at(2) != remote)
            continue;
        bool uidRead = false;
        bool inodeRead = false;
        const quint32 uid = columns.at(7).toUInt(&uidRead);
        const quint64 inode = columns.at(9).toULongLong(&inodeRead);
        if (!uidRead || !inodeRead || inode == 0)
            return std::nullopt;
        return uid;
    }
    return std::nullopt;
}

}  // namespace mornix
