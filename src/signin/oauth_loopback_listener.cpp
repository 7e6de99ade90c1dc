#include "signin/oauth_loopback_listener.h"

#include "platform/posix_files.h"
#include "signin/signin_logging.h"

#include <QFutureInterface>
#include <QLoggingCategory>
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

using Page = OAuthLoopbackListener::Page;

const QString kSignedInHeading = QStringLiteral("Signed in to Veltro");
const QString kCompletedMessage =
    QStringLiteral("Veltro sign-in completed. You can close this tab and return to the desktop app.");
const QString kNotAcceptedHeading = QStringLiteral("Sign-in callback not accepted");

const Page kInvalidPage{QByteArrayLiteral("400 Bad Request"), kNotAcceptedHeading,
                        QStringLiteral("Invalid sign-in callback.")};
const Page kWrongStatePage{QByteArrayLiteral("400 Bad Request"), kNotAcceptedHeading,
                           QStringLiteral("This sign-in callback does not belong to the sign-in in progress.")};
const Page kForeignPage{QByteArrayLiteral("403 Forbidden"), kNotAcceptedHeading,
                        QStringLiteral("This sign-in callback did not come from the user signing in.")};
const Page kReceiveFailedPage{QByteArrayLiteral("400 Bad Request"), QStringLiteral("Veltro sign-in failed"),
                              QStringLiteral("Sign-in callback failed.")};
const Page kNotFoundPage{QByteArrayLiteral("404 Not Found"), QStringLiteral("Not found"), QStringLiteral("Not found.")};

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

// Lives on the listener's thread: the listening socket, its connections, the held callback
// connection and the time-outs.
class LoopbackWorker : public QObject {
public:
    LoopbackWorker(quint16 port, QString expectedState, std::shared_ptr<const SocketOwners> owners,
                   std::shared_ptr<LoopbackCompletion> completion)
        : m_port(port)
        , m_expectedState(std::move(expectedState))
        , m_owners(std::move(owners))
        , m_completion(std::move(completion))
    {
    }

    // Binds and listens; on success `ready` is called (on this thread).
    void start(std::chrono::milliseconds timeout, std::chrono::milliseconds outcomeWait,
               const std::function<void()> &ready)
    {
        m_outcomeWait = outcomeWait;
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
        // A listening socket that can no longer accept (no descriptors left, say) would leave
        // the sign-in waiting for nothing: it ends the attempt now.
        connect(server, &QTcpServer::acceptError, this, [this, server](QAbstractSocket::SocketError) {
            qCWarning(lcSignIn) << "loopback listener cannot accept:" << server->errorString();
            finish(OAuthError::callbackListenerFailed(server->errorString()));
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

    // The outcome page for the held callback connection, once.
    void answerHeld(const Page &page)
    {
        if (m_held) {
            const std::function<void(const Page &)> held = std::move(m_held);
            m_held = nullptr;
            held(page);
        }
    }

    // Ends every activity; called on this thread before it stops. A browser still waiting for
    // the outcome gets the neutral page.
    void shutdown()
    {
        answerHeld(OAuthLoopbackListener::neutralPage());
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
        sockaddr_in address{};
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

    // Whether the connection's other end is a socket this user holds. The peer still waits for
    // its answer here, so its socket is open; one that cannot be found is not this user's.
    bool peerIsThisUser(const QTcpSocket *socket) const
    {
        const std::optional<quint32> owner =
            m_owners ? m_owners->ownerOfConnection(socket->peerAddress(), socket->peerPort(), socket->localAddress(),
                                                   socket->localPort())
                     : std::nullopt;
        if (owner && *owner == m_owners->currentUser())
            return true;
        if (owner)
            qCWarning(lcSignIn) << "refused a sign-in callback from a connection of user" << *owner;
        else
            qCInfo(lcSignIn) << "refused a sign-in callback whose connection has no known owner";
        return false;
    }

    void serve(QTcpSocket *socket)
    {
        auto received = std::make_shared<QByteArray>();
        auto answered = std::make_shared<bool>(false);
        auto judged = std::make_shared<bool>(false);  // one verdict per connection
        auto *wait = new QTimer(socket);
        wait->setSingleShot(true);

        // Kept by the held callback beyond the socket's life: the socket is watched.
        const auto answer = [guard = QPointer<QTcpSocket>(socket), answered](const Page &page) {
            QTcpSocket *socket = guard.data();
            if (*answered || !socket)
                return;
            *answered = true;
            if (socket->state() != QAbstractSocket::ConnectedState)
                return;  // the client is gone: nobody to answer
            const QByteArray bytes = OAuthLoopbackListener::response(page);
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() == 0)
                    socket->disconnectFromHost();
            });
            socket->write(bytes);
            socket->flush();
        };
        const auto judge = [this, socket, answer, received, answered, judged] {
            if (*answered || *judged)
                return;
            *judged = true;
            const OAuthLoopbackListener::Verdict verdict =
                OAuthLoopbackListener::classify(*received, m_port, m_expectedState);
            if (verdict.kind != OAuthLoopbackListener::Verdict::Kind::notFound && !peerIsThisUser(socket)) {
                answer(kForeignPage);
                return;
            }
            switch (verdict.kind) {
            case OAuthLoopbackListener::Verdict::Kind::valid:
                hold(socket, answer);
                finish(verdict.callbackURL);
                break;
            case OAuthLoopbackListener::Verdict::Kind::invalid: answer(kInvalidPage); break;
            case OAuthLoopbackListener::Verdict::Kind::wrongState: answer(kWrongStatePage); break;
            case OAuthLoopbackListener::Verdict::Kind::notFound: answer(kNotFoundPage); break;
            }
        };

        connect(wait, &QTimer::timeout, socket, judge);
        connect(socket, &QTcpSocket::readyRead, socket, [socket, received, answered, judged, wait, judge] {
            const QByteArray chunk = socket->readAll();  // all of it: unread data would reset the answer
            if (*answered || *judged)
                return;
            received->append(chunk.left(kMaximumRequestBytes - received->size()));
            if (received->contains("\r\n") || received->size() >= kMaximumRequestBytes)
                judge();
            else
                wait->start(kRequestLineWait);
        });
        connect(socket, &QTcpSocket::errorOccurred, socket,
                [this, socket, answer, answered, judged, judge](QAbstractSocket::SocketError error) {
                    if (*answered || *judged)
                        return;
                    if (error == QAbstractSocket::RemoteHostClosedError) {
                        judge();  // the peer finished sending: judge what arrived
                        return;
                    }
                    answer(kReceiveFailedPage);
                    finish(OAuthError::callbackListenerFailed(socket->errorString()));
                });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        wait->start(kRequestLineWait);
    }

    // The completing callback waits for the sign-in's outcome, at most the outcome wait. A
    // valid callback on a connection still open after completion completes nothing: it gets
    // the neutral page at once.
    template <typename Answer>
    void hold(QTcpSocket *socket, const Answer &answer)
    {
        bool first = false;
        {
            QMutexLocker locker(&m_completion->lock);
            first = !m_completion->completed;
        }
        if (!first || m_heldTaken) {
            answer(OAuthLoopbackListener::neutralPage());
            return;
        }
        m_heldTaken = true;
        m_held = answer;
        QTimer::singleShot(m_outcomeWait, socket, [this] { answerHeld(OAuthLoopbackListener::neutralPage()); });
    }

    quint16 m_port;
    QString m_expectedState;
    std::shared_ptr<const SocketOwners> m_owners;
    std::shared_ptr<LoopbackCompletion> m_completion;
    std::chrono::milliseconds m_outcomeWait{OAuthLoopbackListener::defaultOutcomeWait};
    std::function<void(const Page &)> m_held;
    bool m_heldTaken = false;
};

OAuthLoopbackListener::OAuthLoopbackListener(quint32 port, Settings settings, QObject *parent)
    : QObject(parent)
    , m_port(0)
    , m_settings(std::move(settings))
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
        QMetaObject::invokeMethod(
            worker, [worker] { worker->shutdown(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        delete m_worker;
    }
}

OAuthLoopbackListener::Page OAuthLoopbackListener::signedInPage()
{
    return {QByteArrayLiteral("200 OK"), kSignedInHeading, kCompletedMessage};
}

OAuthLoopbackListener::Page OAuthLoopbackListener::failurePage(const QString &what)
{
    return {QByteArrayLiteral("200 OK"), QStringLiteral("Veltro sign-in failed"),
            what + QStringLiteral(" You can close this tab and try again from the desktop app.")};
}

OAuthLoopbackListener::Page OAuthLoopbackListener::neutralPage()
{
    return {QByteArrayLiteral("200 OK"), QStringLiteral("Return to the Veltro app"),
            QStringLiteral("The Veltro desktop app is finishing the sign-in. You can close this tab and check the app "
                           "for the result.")};
}

void OAuthLoopbackListener::showSignedIn()
{
    answerHeld(signedInPage());
}

void OAuthLoopbackListener::showFailure(const QString &what)
{
    answerHeld(failurePage(what));
}

void OAuthLoopbackListener::answerHeld(const Page &page)
{
    if (!m_worker)
        return;
    LoopbackWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, page] { worker->answerHeld(page); });
}

QByteArray OAuthLoopbackListener::response(const Page &page)
{
    const QByteArray body =
        QByteArrayLiteral("<!doctype html><html><head><meta charset=\"utf-8\"><title>Veltro</title></head>\n"
                          "<body style=\"font-family:-apple-system;padding:48px;background:#050505;color:#fff\">\n"
                          "<h1>")
        + page.heading.toHtmlEscaped().toUtf8() + QByteArrayLiteral("</h1><p>") + page.message.toHtmlEscaped().toUtf8()
        + QByteArrayLiteral("</p></body></html>");
    const QByteArray head = QByteArrayLiteral("HTTP/1.1 ") + page.status
                            + QByteArrayLiteral("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ")
                            + QByteArray::number(body.size())
                            + QByteArrayLiteral("\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
    return head + body;
}

OAuthLoopbackListener::Verdict OAuthLoopbackListener::classify(const QByteArray &received, quint16 port,
                                                               const QString &expectedState)
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

    // The first `state` decides, as it does for the sign-in that reads the URL.
    std::optional<QString> state;
    bool hasCodeOrError = false;
    if (url.hasQuery()) {
        const QUrlQuery query(url);
        for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
            if (item.first == QLatin1String("state") && !state)
                state = item.second;
            else if ((item.first == QLatin1String("code") || item.first == QLatin1String("error"))
                     && !item.second.isEmpty())
                hasCodeOrError = true;
        }
    }
    if (!state || state->isEmpty() || !hasCodeOrError)
        return invalid;
    if (*state != expectedState)
        return Verdict{Verdict::Kind::wrongState, {}};
    return Verdict{Verdict::Kind::valid, url};
}

QCoro::Task<QUrl> OAuthLoopbackListener::authenticate(QUrl authorizeURL, QString expectedState)
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

    m_worker = new LoopbackWorker(m_port, expectedState, m_settings.owners, m_completion);
    m_worker->moveToThread(&m_thread);
    m_thread.start();

    LoopbackWorker *worker = m_worker;
    const QPointer<OAuthLoopbackListener> self(this);
    const std::chrono::milliseconds timeout = m_settings.timeout;
    const std::chrono::milliseconds outcomeWait = m_settings.outcomeWait;
    // Once listening: ask for the browser on the main thread; report a refusal back here.
    const auto ready = [self, worker, authorizeURL] {
        QMetaObject::invokeMethod(
            self.data(),
            [self, worker, authorizeURL] {
                if (!self || !self->m_settings.openBrowser || self->m_settings.openBrowser(authorizeURL))
                    return;
                QMetaObject::invokeMethod(worker,
                                          [worker] { worker->finish(OAuthError(OAuthError::Kind::failedToStart)); });
            },
            Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(worker,
                              [worker, timeout, outcomeWait, ready] { worker->start(timeout, outcomeWait, ready); });

    const Outcome outcome = co_await result;
    if (const OAuthError *error = std::get_if<OAuthError>(&outcome))
        throw *error;
    co_return std::get<QUrl>(outcome);
}

}  // namespace mornix
