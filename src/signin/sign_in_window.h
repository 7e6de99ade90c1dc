#pragma once

#include "signin/sign_in_request.h"

#include <QFutureInterface>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

namespace mornix {

// The sign-in window's controller and the state it shows: the device line, the two provider
// buttons (enabled or not) and the status label (text, colour, visible). A visible window
// renders this state and forwards its buttons and its close button here; without one the state
// is all there is, and tests (or a terminal) answer it.
//
// present() resolves exactly once, whichever comes first: a method (the window stays open for
// the flow's progress and failure texts) or closing the window (nothing).
// After that, a button pressed while the buttons are enabled again (after a failed attempt)
// starts a new attempt in the same window through the new-attempt handler.
// Thread: main thread.
class SignInWindowController : public QObject {
    Q_OBJECT
public:
    enum class LabelColor { secondary, red };

    struct Settings {
        QString defaultAPIBaseURL;
        QString defaultOAuthClientID;
        QString websiteHost;
        QUrl helpPageURL;
        std::function<void(const QUrl &)> openHelpPage;  // failures are ignored
        // Where the chosen API base URL is remembered; null: it is not.
        std::shared_ptr<UserDefaults> userDefaults;
    };

    SignInWindowController(QString apiBaseURL, QString deviceName, Settings settings, QObject *parent = nullptr);

    QCoro::Task<std::optional<SignInRequest>> present();

    // Button actions.
    void signInGoogle() { submit(SignInMethod::google()); }
    void signInGitHub() { submit(SignInMethod::github()); }
    void openHelp();
    void submit(const SignInMethod &method);
    // The window's close button.
    void windowWillClose();
    void resolve(std::optional<SignInRequest> request, bool closeWindow);

    // Progress and failure display, written by the flows.
    void setButtonsEnabled(bool enabled);
    void setStatus(const QString &text, LabelColor color);  // and shows the label
    void clearStatus();                                     // empty, secondary colour, hidden
    void orderOutAndClose();

    // Runs a request made by a button after the first resolution (a new attempt).
    void setNewAttemptHandler(std::function<void(const SignInRequest &)> handler) { m_newAttempt = std::move(handler); }

    QString apiBaseURL() const { return m_apiBaseURL; }
    QString deviceName() const { return m_deviceName; }
    QString deviceLine() const { return QStringLiteral("CONNECTING  ") + m_deviceName; }
    bool isOpen() const { return m_open; }
    bool buttonsEnabled() const { return m_buttonsEnabled; }
    double buttonAlpha() const { return m_buttonsEnabled ? 1.0 : 0.55; }
    QString statusText() const { return m_statusText; }
    LabelColor statusColor() const { return m_statusColor; }
    bool statusVisible() const { return m_statusVisible; }

Q_SIGNALS:
    void presented();
    void changed();
    void closed();

private:
    SignInRequest makeRequest(const SignInMethod &method);

    QString m_apiBaseURL;
    QString m_deviceName;
    Settings m_settings;
    std::optional<QFutureInterface<std::optional<SignInRequest>>> m_continuation;
    bool m_didResolve = false;
    bool m_open = false;
    bool m_buttonsEnabled = true;
    QString m_statusText;
    LabelColor m_statusColor = LabelColor::secondary;
    bool m_statusVisible = false;
    std::function<void(const SignInRequest &)> m_newAttempt;
};

}  // namespace mornix
