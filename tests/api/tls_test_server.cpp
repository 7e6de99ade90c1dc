#include "tls_test_server.h"

#include "support/test_files.h"

#include <QSemaphore>
#include <QSslServer>
#include <QSslSocket>

namespace mornix {

namespace {

// Serves every complete request at the front of `buffer`, in order.
void drain(TlsTestServer &server, QSslSocket *socket, QByteArray &buffer)
{
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        CapturedRequest request;
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qsizetype contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("content-length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        if (buffer.size() < headEnd + 4 + contentLength)
            return;
        request.body = buffer.mid(headEnd + 4, contentLength);
        buffer.remove(0, headEnd + 4 + contentLength);
        const QByteArray answer = server.serve(request);
        socket->write(answer);
        if (answer.toLower().contains("\r\nconnection: close\r\n")) {
            socket->disconnectFromHost();
            return;
        }
    }
}

}  // namespace

QByteArray CapturedRequest::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    }
    return {};
}

TlsTestServer::TlsTestServer(QList<QSslCertificate> chain, QSslKey key, Handler handler)
    : m_chain(std::move(chain))
    , m_key(std::move(key))
    , m_handler(std::move(handler))
{
    QSemaphore ready;
    m_readySemaphore = &ready;
    start();
    ready.acquire();
    m_readySemaphore = nullptr;
}

TlsTestServer::~TlsTestServer()
{
    quit();
    wait();
}

void TlsTestServer::run()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(m_chain);
    tls.setPrivateKey(m_key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    QSslServer listener;
    listener.setSslConfiguration(tls);
    // A connection is pending once its handshake completed.
    QObject::connect(&listener, &QTcpServer::pendingConnectionAvailable, [this, &listener] {
        while (auto *socket = static_cast<QSslSocket *>(listener.nextPendingConnection())) {
            ++m_handshakes;
            auto buffer = std::make_shared<QByteArray>();
            const auto read = [this, socket, buffer] {
                const QByteArray chunk = socket->readAll();
                m_bytes += chunk.size();
                buffer->append(chunk);
                drain(*this, socket, *buffer);
            };
            QObject::connect(socket, &QSslSocket::readyRead, socket, read);
            QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
            read();
        }
    });
    listener.listen(QHostAddress::Any, 0);
    m_port = listener.serverPort();
    m_readySemaphore->release();
    exec();
}

QList<CapturedRequest> TlsTestServer::requests() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests;
}

QByteArray TlsTestServer::serve(const CapturedRequest &request)
{
    {
        QMutexLocker locker(&m_mutex);
        m_requests.append(request);
    }
    return m_handler(request);
}

QByteArray TlsTestServer::response(int status, const QByteArray &body,
                                   const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    bool hasType = false;
    for (const auto &[name, value] : headers) {
        text += name + ": " + value + "\r\n";
        hasType = hasType || name.compare("content-type", Qt::CaseInsensitive) == 0;
    }
    if (!hasType && !body.isEmpty())
        text += "Content-Type: application/json\r\n";
    if (status != 204 && status != 304)
        text += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    text += "\r\n";
    if (status != 204 && status != 304)
        text += body;
    return text;
}

QList<QSslCertificate> loadChain(const QString &path)
{
    return QSslCertificate::fromData(readFile(path), QSsl::Pem);
}

QSslKey loadKey(const QString &path)
{
    const QByteArray pem = readFile(path);
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem);
        if (!key.isNull())
            return key;
    }
    return {};
}

}  // namespace mornix
