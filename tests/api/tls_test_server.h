#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QThread>

#include <atomic>
#include <functional>

class QSemaphore;

namespace mornix {

// One HTTP/1.1 request as a test server received it, bytes unaltered.
struct CapturedRequest {
    QByteArray method;
    QByteArray target;  // request target as sent (path and query, encoded)
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const;  // case-insensitive
};

// An in-process HTTPS server on its own thread, for the TLS policy and transport tests.
// It serves each request with the handler's raw response bytes (keep-alive unless the response
// says "Connection: close") and counts handshakes and decrypted bytes received.
class TlsTestServer : public QThread {
    Q_OBJECT
public:
    using Handler = std::function<QByteArray(const CapturedRequest &)>;

    TlsTestServer(QList<QSslCertificate> chain, QSslKey key, Handler handler);
    ~TlsTestServer() override;

    quint16 port() const { return m_port; }
    QList<CapturedRequest> requests() const;
    int handshakes() const { return m_handshakes; }
    qint64 applicationBytesReceived() const { return m_bytes; }

    // A complete response with Content-Length.
    static QByteArray response(int status, const QByteArray &body = {},
                               const QList<QPair<QByteArray, QByteArray>> &headers = {});

    // Records the request and answers it; called on the server thread.
    QByteArray serve(const CapturedRequest &request);

protected:
    void run() override;

private:
    QList<QSslCertificate> m_chain;
    QSslKey m_key;
    Handler m_handler;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QList<CapturedRequest> m_requests;
    std::atomic<int> m_handshakes{0};
    std::atomic<qint64> m_bytes{0};
    QSemaphore *m_readySemaphore = nullptr;
};

// The PEM file's certificates and key, for TlsTestServer.
QList<QSslCertificate> loadChain(const QString &path);
QSslKey loadKey(const QString &path);

}  // namespace mornix
