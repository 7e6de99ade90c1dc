#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

namespace mornix {

// A plain TCP client for the loopback listener: sends raw bytes, returns everything the
// listener answered until it closed the connection.
inline QByteArray rawExchange(quint16 port, const QByteArray &bytes, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return QByteArrayLiteral("<no connection>");
    socket.write(bytes);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        if (socket.waitForReadyRead(100))
            answer += socket.readAll();
    }
    answer += socket.readAll();
    return answer;
}

inline QByteArray getRequest(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
}

// A TCP port that was free a moment ago on 127.0.0.1.
inline quint16 freeLoopbackPort()
{
    QTcpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

}  // namespace mornix
