#pragma once

#include "commands/controller_state.h"
#include "commands/device_session_renewal.h"
#include "support/runtime_context.h"
#include "identity/credential_records.h"
#include "platform/device_terms.h"
#include "signin/oauth_manager.h"
#include "signin/sign_in_request.h"
#include "signin/sign_in_window.h"
#include "signin/token_refresh.h"
#include "support/config.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class APIClient;
class DeviceEnrollmentAgent;
class DeviceServiceClient;
class KeychainStore;
class PinnedSessionFailureStore;

// The enrollment flows of the controller: browser or password sign-in followed by device
// registration, the device claim with its approval poll, and the token refresh of stored
// credentials. Flows never throw: every outcome becomes a `lastCommand` text and, while a
// sign-in window is open, its status label. The controller's credentials, service client and
// connection flag change only after the keychain holds the new state; the token refresh is
// a TokenRefresh of its own.
// Thread: main thread. Every task holds this object weakly and ends quietly when it is gone.
class SignInFlows : public QObject, public DeviceSessionRenewal {
    Q_OBJECT
public:
    // Modal alerts; each returns once dismissed.
    class Alerts {
    public:
        virtual ~Alerts() = default;
        virtual void showWarning(const QString &title, const QString &text) = 0;
        virtual void showInformational(const QString &title, const QString &text) = 0;
    };

    struct Dependencies {
        Config config;
        // Where the flows' pinned sessions record their TLS outcomes, read back to explain a
        // refused connection; owned by the composition root. Null: not recorded.
        std::shared_ptr<PinnedSessionFailureStore> pinFailures;
        std::shared_ptr<KeychainStore> keychain;
        std::shared_ptr<const DeviceEnrollmentAgent> enrollmentAgent;
        OAuthManager::Options oauth;
        std::shared_ptr<Alerts> alerts;
        std::function<RuntimeContext()> runtimeContext;
        std::function<std::optional<QString>()> computerName;
        std::function<void(const QUrl &)> openHelpPage;
        // Where the API base URL last chosen is remembered; null: it is not.
        std::shared_ptr<UserDefaults> userDefaults;
        // Names this device in the alerts' texts; null: "this Mac".
        std::shared_ptr<const DeviceTerms> terms;
        // Gives each new sign-in window controller its visible window (desktop); empty: none.
        std::function<void(SignInWindowController *)> attachWindow;
        std::chrono::milliseconds initialPromptDelay{250};
        std::chrono::milliseconds registerDelay{120};
    };

    static inline const QString fallbackDeviceName = QStringLiteral("Veltro Mornix Mac");
    static inline const QString phaseOpeningSignIn = QStringLiteral("opening sign-in");
    static inline const QString phaseRegisteringDevice = QStringLiteral("registering device");
    static inline const QString phaseCollectingIdentity = QStringLiteral("collecting device identity");
    static inline const QString phaseRequestingChallenge = QStringLiteral("requesting claim challenge");
    static inline const QString phaseSigningChallenge = QStringLiteral("signing claim challenge");
    static inline const QString phaseSubmittingClaim = QStringLiteral("submitting claim request");

    // state: read afresh and written (status texts, credentials, pending claim, service client,
    // which it also makes); its log receives the flows' log lines. Must outlive the flows.
    SignInFlows(ControllerState &state, Dependencies dependencies, QObject *parent = nullptr);
    ~SignInFlows() override;

    // The menu's "Sign in to Veltro": refuses outside the application bundle, else opens the
    // sign-in window and runs the flow of the request it yields.
    void registerDevice();
    // At start: the sign-in entry once per run, when nothing is enrolled or pending.
    void presentInitialClaimPromptIfNeeded();

    QCoro::Task<void> registerDeviceFlow(QString apiBaseURL, QString deviceName, SignInMethod method,
                                         std::optional<QString> oauthClientID, std::optional<QString> oauthClientSecret,
                                         QPointer<SignInWindowController> signIn);
    QCoro::Task<void> claimDeviceFlow(QString apiBaseURL, QString deviceName, QString enrollmentSecret,
                                      QString inviteCode, std::optional<QString> humanClaimName,
                                      QPointer<SignInWindowController> signIn);
    // One status poll of a pending claim; completes an approved one.
    QCoro::Task<void> resumeApprovedClaimIfNeeded(PendingClaimState pendingClaim);

    // DeviceSessionRenewal (the poll loop's).
    QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials credentials,
                                                                       bool force) override;
    bool hasPendingClaim() const override { return m_state.pendingClaim().has_value(); }
    // The state's pending claim, while a service client exists.
    QCoro::Task<void> pollPendingClaim() override;

    static bool runsFromApplicationBundle(const RuntimeContext &context);
    void presentRuntimeMisconfigurationAlert(const RuntimeContext &context);

    // The failure report of a flow phase: the status text, the window label, and the log line
    // that precedes them for a server error.
    struct FailureTexts {
        QString lastCommand;
        QString label;
        std::optional<QString> logLine;
    };
    // pinFailure: what the pinned-session failure store held (taken once by the caller).
    static FailureTexts failureTexts(const std::exception_ptr &error, const QString &phase,
                                     const std::optional<QString> &pinFailure);
    // Server details naming the device's key, the signed payload or the enrollment secret are
    // never shown or logged.
    static QString redactedServerDetail(const QString &detail);
    static QString describe(const std::exception_ptr &error);

    SignInWindowController *signInWindow() const { return m_signInWindow; }
    bool didPresentInitialClaimPrompt() const { return m_didPresentInitialClaimPrompt; }
    OAuthManager &oauthManager() { return *m_oauthManager; }

private:
    QCoro::Task<void> openSignInWindow();
    QCoro::Task<void> runAttempt(SignInRequest request, QPointer<SignInWindowController> window);
    // Returns the label text shown.
    QString reportFailure(const std::exception_ptr &error, const QString &phase, SignInWindowController *window);
    // The state's new client for the origin; throws PinnedSessionError when none can be made.
    std::shared_ptr<DeviceServiceClient> pollClientFor(const QString &apiBaseURL) const;

    ControllerState &m_state;
    Dependencies m_deps;
    PinnedAPIClients m_clients;
    OAuthManager *m_oauthManager;
    TokenRefresh *m_tokenRefresh;
    QPointer<SignInWindowController> m_signInWindow;
    bool m_didPresentInitialClaimPrompt = false;
};

}  // namespace mornix
