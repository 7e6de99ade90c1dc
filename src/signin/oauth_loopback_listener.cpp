#include "signin/oauth_loopback_listener.h"

#include "platform/posix_files.h"

#include <QFutureInterface>
#include <QMutex>
#include <QMutexLocker>
#include <QStringDecoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <QCoroFuture>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <variant>

namespace mornix {

namespace {

constexpr qsizetype kMaximumRequestBytes = 16384;
// A connection that has sent part of a request line and then nothing for this long is judged
// on what it sent.
constexpr std::chrono::milliseconds kRequestLineWait{3000};

const QByteArray kOK = QByteArrayLiteral("200 OK");
const QByteArray kBadRequest = QByteArrayLiteral("400 Bad Request");
const QByteArray kNotFound = QByteArrayLiteral("404 Not Found");
const QString kCompletedMessage =
    QStringLiteral("Veltro sign-in completed. You can close this tab and return to the desktop app.");
const QString kInvalidMessage = QStringLiteral("Invalid sign-in callback.");
const QString kFailedMessage = QStringLiteral("Sign-in callback failed.");
const QString kNotFoundMessage = QStringLiteral("Not found.");

using Outcome = std::variant<QUrl, OAuthError>;

bool isValidUTF8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    Q_UNUSED(text);
    return !decoder.hasError();
}

}  // namespace

// The state that decides completion; read and written only under `lock`.
struct LoopbackCompletion {
    QMutex lock;
    bool completed = false;
    std::optional<QFutureInterface<Outcome>> continuation;
    QPointer<QTcpServer> listener;
};

// Lives on the listener's thread: the listening socket, its connections and the time-out.
class LoopbackWorker : public QObject {
public:
    LoopbackWorker(quint16 port, std::shared_ptr<LoopbackCompletion> completion)
        : m_port(port), m_completion(std::move(completion))
    {
    }

    // Binds and listens; on success `ready` is called (on this thread).
    void start(std::chrono::milliseconds timeout, const std::function<void()> &ready)
    {
        QString failure;
        posix::UniqueFd socket = bindLoopback(&failure);
        auto *server = new QTcpServer(this);
        if (!socket.isValid() || !server->setSocketDescriptor(socket.get())) {
            if (socket.isValid())
                failure = server->errorString();
            delete server;
            finish(OAuthError::callbackListenerFailed(failure));
            return;
        }
        socket.release();  // the server owns it now
        {
            QMutexLocker locker(&m_completion->lock);
            m_completion->listener = server;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                socket->setParent(this);  // outlives the listener until its answer is sent
                serve(socket);
            }
        });
        QTimer::singleShot(timeout, this, [this] { finish(OAuthError(OAuthError::Kind::callbackTimedOut)); });
        ready();
    }

    void finish(const Outcome &outcome)
    {
        std::optional<QFutureInterface<Outcome>> continuation;
        QPointer<QTcpServer> listener;
        {
            QMutexLocker locker(&m_completion->lock);
            if (m_completion->completed)
                return;
            m_completion->completed = true;
            continuation.swap(m_completion->continuation);
            listener = m_completion->listener;
            m_completion->listener.clear();
        }
        if (listener) {
            listener->close();
            listener->deleteLater();
        }
        if (continuation) {
            continuation->reportResult(outcome);
            continuation->reportFinished();
        }
    }

    // Ends every activity; called on this thread before it stops.
    void shutdown()
    {
        for (QTcpSocket *socket : findChildren<QTcpSocket *>()) {
            if (socket->bytesToWrite() > 0)
                socket->waitForBytesWritten(200);
        }
        qDeleteAll(children());
    }

private:
    posix::UniqueFd bindLoopback(QString *failure) const
    {
        posix::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const int fd = socket.get();
        if (fd < 0) {
            *failure = QString::fromLocal8Bit(std::strerror(errno));
            return {};
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
            || ::listen(fd, SOMAXCONN) != 0) {
            *failure = QString::fromLocal8Bit(std::strerror(errno));
            return {};
        }
        return socket;
    }

    void serve(QTcpSocket *socket)
    {
        auto received = std::make_shared<QByteArray>();
        auto answered = std::make_shared<bool>(false);
        auto *wait = new QTimer(socket);
        wait->setSingleShot(true);

        const auto answer = [this, socket, answered](const QByteArray &status, const QString &message) {
            if (*answered)
                return;
            *answered = true;
            if (socket->state() != QAbstractSocket::ConnectedState)
                return;  // the client is gone: nobody to answer
            const QByteArray bytes = OAuthLoopbackListener::response(status, message);
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() == 0)
                    socket->disconnectFromHost();
            });
            socket->write(bytes);
            socket->flush();
        };
        const auto judge = [this, answer, received, answered] {
            if (*answered)
                return;
            const OAuthLoopbackListener::Verdict verdict = OAuthLoopbackListener::classify(*received, m_port);
            switch (verdict.kind) {
            case OAuthLoopbackListener::Verdict::Kind::valid:
                answer(kOK, kCompletedMessage);
                finish(verdict.callbackURL);
                break;
            case OAuthLoopbackListener::Verdict::Kind::invalid:
                answer(kBadRequest, kInvalidMessage);
                break;
            case OAuthLoopbackListener::Verdict::Kind::notFound:
                answer(kNotFound, kNotFoundMessage);
                break;
            }
        };

        connect(wait, &QTimer::timeout, socket, judge);
        connect(socket, &QTcpSocket::readyRead, socket, [socket, received, answered, wait, judge] {
            const QByteArray chunk = socket->readAll();  // all of it: unread data would reset the answer
            if (*answered)
                return;
            received->append(chunk.left(kMaximumRequestBytes - received->size()));
            if (received->contains("\r\n") || received->size() >= kMaximumRequestBytes)
                judge();
            else
                wait->start(kRequestLineWait);
        });
        connect(socket, &QTcpSocket::errorOccurred, socket,
                [this, socket, answer, answered, judge](QAbstractSocket::SocketError error) {
                    if (*answered)
                        return;
                    if (error == QAbstractSocket::RemoteHostClosedError) {
                        judge();  // the peer finished sending: judge what arrived
                        return;
                    }
                    answer(kBadRequest, kFailedMessage);
                    finish(OAuthError::callbackListenerFailed(socket->errorString()));
                });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        wait->start(kRequestLineWait);
    }

    quint16 m_port;
    std::shared_ptr<LoopbackCompletion> m_completion;
};

OAuthLoopbackListener::OAuthLoopbackListener(quint32 port, OpenBrowser openBrowser, std::chrono::milliseconds timeout,
                                             QObject *parent)
    : QObject(parent)
    , m_port(0)
    , m_openBrowser(std::move(openBrowser))
    , m_timeout(timeout)
    , m_completion(std::make_shared<LoopbackCompletion>())
{
    if (port == 0 || port > 65535)
        throw OAuthError::callbackListenerFailed(QStringLiteral("invalid loopback port"));
    m_port = static_cast<quint16>(port);
    m_thread.setObjectName(QStringLiteral("ai.veltro.mornix.oauth-loopback"));
}

OAuthLoopbackListener::~OAuthLoopbackListener()
{
    if (m_worker) {
        LoopbackWorker *worker = m_worker;
        QMetaObject::invokeMethod(worker, [worker] { worker->shutdown(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        delete m_worker;
    }
}

QByteArray OAuthLoopbackListener::response(const QByteArray &statusLine, const QString &message)
{
    const QByteArray body =
        QByteArrayLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><title>Veltro</title></head>\n"
                          "<body style=\"font-family:-apple-system;padding:48px;background:#050505;color:#fff\">\n"
                          "<h1>Signed in to Veltro</h1><p>")
        + message.toUtf8() + QByteArrayLiteral("</p></body></html>");
    const QByteArray head = QByteArrayLiteral("HTTP/1.1 ") + statusLine
        + QByteArrayLiteral("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ")
        + QByteArray::number(body.size())
        + QByteArrayLiteral("\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
    return head + body;
}

OAuthLoopbackListener::Verdict OAuthLoopbackListener::classify(const QByteArray &received, quint16 port)
{
    const Verdict invalid{Verdict::Kind::invalid, {}};
    const Verdict notFound{Verdict::Kind::notFound, {}};
    if (received.isEmpty() || !isValidUTF8(received))
        return invalid;
    const QString text = QString::fromUtf8(received);

    // The first non-empty piece of the text split once at CR LF.
    QString requestLine;
    const qsizetype breakAt = text.indexOf(QLatin1String("\r\n"));
    const QStringList pieces = breakAt < 0 ? QStringList{text} : QStringList{text.left(breakAt), text.mid(breakAt + 2)};
    for (const QString &piece : pieces) {
        if (!piece.isEmpty()) {
            requestLine = piece;
            break;
        }
    }
    if (requestLine.isEmpty())
        return invalid;

    const QStringList words = requestLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.size() < 2 || words.at(0) != QLatin1String("GET"))
        return notFound;
    const QUrl url(QStringLiteral("http://127.0.0.1:") + QString::number(port) + words.at(1), QUrl::StrictMode);
    if (!url.isValid() || url.path(QUrl::FullyDecoded) != QLatin1String("/oauth/callback"))
        return notFound;

    bool hasState = false;
    bool hasCodeOrError = false;
    if (url.hasQuery()) {
        const QUrlQuery query(url);
        for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
            if (item.second.isEmpty())
                continue;
            if (item.first == QLatin1String("state"))
                hasState = true;
            else if (item.first == QLatin1String("code") || item.first == QLatin1String("error"))
                hasCodeOrError = true;
        }
    }
    if (!hasState || !hasCodeOrError)
        return invalid;
    return Verdict{Verdict::Kind::valid, url};
}

QCoro::Task<QUrl> OAuthLoopbackListener::authenticate(QUrl authorizeURL)
{
    if (m_used)
        throw OAuthError::callbackListenerFailed(QStringLiteral("listener already used"));
    m_used = true;

    QFutureInterface<Outcome> continuation;
    continuation.reportStarted();
    QFuture<Outcome> result = continuation.future();
    {
        QMutexLocker locker(&m_completion->lock);
        m_completion->continuation = continuation;
    }

    m_worker = new LoopbackWorker(m_port, m_completion);
    m_worker->moveToThread(&m_thread);
    m_thread.start();

    LoopbackWorker *worker = m_worker;
    const QPointer<OAuthLoopbackListener> self(this);
    const std::chrono::milliseconds timeout = m_timeout;
    // Once listening: ask for the browser on the main thread; report a refusal back here.
    const auto ready = [self, worker, authorizeURL] {
        QMetaObject::invokeMethod(
            self.data(),
            [self, worker, authorizeURL] {
                if (!self || !self->m_openBrowser || self->m_openBrowser(authorizeURL))
                    return;
                QMetaObject::invokeMethod(worker, [worker] { worker->finish(OAuthError(OAuthError::Kind::failedToStart)); });
            },
            Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(worker, [worker, timeout, ready] { worker->start(timeout, ready); });

    const Outcome outcome = co_await result;
    if (const OAuthError *error = std::get_if<OAuthError>(&outcome))
        throw *error;
    co_return std::get<QUrl>(outcome);
}

}  // namespace mornix
