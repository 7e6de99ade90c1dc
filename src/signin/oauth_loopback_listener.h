#pragma once

#include "platform/socket_owners.h"
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
// time-out). A valid callback carries the state of this attempt and comes over a connection
// whose other end belongs to this user; requests that are no valid callback never end the wait.
// The valid callback's connection is held open until the sign-in reports its outcome
// (showSignedIn, showFailure) or the outcome wait runs out; the browser then gets a neutral
// page. One listener serves one attempt.
//
// Thread: created, awaited and destroyed on the main thread. The socket work runs on the
// listener's own thread "ai.veltro.mornix.oauth-loopback"; completion happens once under a lock,
// whatever thread gets there first. The browser is asked on the main thread.
class OAuthLoopbackListener : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTimeout{300000};
    // How long the browser's tab may wait, after its callback, for the sign-in's outcome.
    static constexpr std::chrono::milliseconds defaultOutcomeWait{15000};

    // Returns whether a browser could be asked to open the URL. Called on the main thread.
    using OpenBrowser = std::function<bool(const QUrl &)>;

    struct Settings {
        OpenBrowser openBrowser;
        // Who owns a connection's other end; null: no connection can be shown to be this
        // user's, so every request is refused.
        std::shared_ptr<const SocketOwners> owners;
        std::chrono::milliseconds timeout = defaultTimeout;
        std::chrono::milliseconds outcomeWait = defaultOutcomeWait;
    };

    // Throws OAuthError::callbackListenerFailed("invalid loopback port") for a port that is no
    // TCP endpoint port (0 or above 65535).
    OAuthLoopbackListener(quint32 port, Settings settings, QObject *parent = nullptr);
    ~OAuthLoopbackListener() override;

    quint16 port() const { return m_port; }

    // Listens, opens the browser, and returns the callback URL ("http://127.0.0.1:<port>" and
    // the request target) of the first request whose first `state` equals `expectedState`;
    // throws OAuthError. Call once.
    QCoro::Task<QUrl> authenticate(QUrl authorizeURL, QString expectedState);

    // The answer to the held callback: "Signed in to Veltro" once this computer is registered,
    // or what failed, in sentences that say this computer was not registered (plain text,
    // escaped here). The first call wins; later ones, and calls
    // after the outcome wait ran out, change nothing.
    void showSignedIn();
    void showFailure(const QString &what);

    // One page: status line text, heading and message (plain text).
    struct Page {
        QByteArray status;
        QString heading;
        QString message;
    };
    static Page signedInPage();
    static Page failurePage(const QString &what);
    static Page neutralPage();

    // What a request deserves, decided from the bytes received on one connection.
    struct Verdict {
        enum class Kind { valid, invalid, wrongState, notFound };
        Kind kind;
        QUrl callbackURL;  // valid only
    };
    static Verdict classify(const QByteArray &received, quint16 port, const QString &expectedState);
    // The complete HTTP answer: head and page; heading and message are HTML-escaped.
    static QByteArray response(const Page &page);

private:
    void answerHeld(const Page &page);

    quint16 m_port;
    Settings m_settings;
    std::shared_ptr<LoopbackCompletion> m_completion;
    QThread m_thread;
    LoopbackWorker *m_worker = nullptr;
    bool m_used = false;
};

}  // namespace mornix
