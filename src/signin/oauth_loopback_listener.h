#pragma once

#include "signin/oauth_types.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>

namespace mornix {

class LoopbackWorker;
struct LoopbackCompletion;

// Receives the browser's redirect at the end of a provider sign-in: plain HTTP on 127.0.0.1
// (never any other address) and the given port. Once listening it asks the browser to open the
// authorization URL; it answers every request with a small HTML page and completes exactly once,
// with the first valid callback URL or with a failure (listener failure, browser not opened,
// time-out). Requests that are no valid callback never end the wait. One listener serves one
// attempt.
//
// Thread: created, awaited and destroyed on the main thread. The socket work runs on the
// listener's own thread "ai.veltro.mornix.oauth-loopback"; completion happens once under a lock,
// whatever thread gets there first. The browser is asked on the main thread.
class OAuthLoopbackListener : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTimeout{300000};

    // Returns whether a browser could be asked to open the URL. Called on the main thread.
    using OpenBrowser = std::function<bool(const QUrl &)>;

    // Throws OAuthError::callbackListenerFailed("invalid loopback port") for a port that is no
    // TCP endpoint port (0 or above 65535).
    OAuthLoopbackListener(quint32 port, OpenBrowser openBrowser, std::chrono::milliseconds timeout = defaultTimeout,
                          QObject *parent = nullptr);
    ~OAuthLoopbackListener() override;

    quint16 port() const { return m_port; }

    // Listens, opens the browser, and returns the callback URL ("http://127.0.0.1:<port>" and
    // the request target); throws OAuthError. Call once.
    QCoro::Task<QUrl> authenticate(QUrl authorizeURL);

    // What a request deserves, decided from the bytes received on one connection.
    struct Verdict {
        enum class Kind { valid, invalid, notFound };
        Kind kind;
        QUrl callbackURL;  // valid only
    };
    static Verdict classify(const QByteArray &received, quint16 port);
    // The complete HTTP answer: head and page.
    static QByteArray response(const QByteArray &statusLine, const QString &message);

private:
    quint16 m_port;
    OpenBrowser m_openBrowser;
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<LoopbackCompletion> m_completion;
    QThread m_thread;
    LoopbackWorker *m_worker = nullptr;
    bool m_used = false;
};

}  // namespace mornix
