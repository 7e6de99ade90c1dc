#pragma once

#include "commands/device_session_renewal.h"
#include "support/runtime_context.h"
#include "identity/credential_records.h"
#include "platform/device_terms.h"
#include "signin/oauth_manager.h"
#include "signin/sign_in_request.h"
#include "signin/sign_in_window.h"
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
// connection flag change only after the keychain holds the new state.
// Thread: main thread. Every task holds this object weakly and ends quietly when it is gone.
class SignInFlows : public QObject, public DeviceSessionRenewal {
    Q_OBJECT
public:
    // The controller state the flows read afresh and write.
    class Host {
    public:
        virtual ~Host() = default;
        virtual void setLastCommand(const QString &text) = 0;
        virtual void setConnected(bool connected) = 0;
        virtual std::optional<DeviceCredentials> credentials() const = 0;
        virtual void setCredentials(const std::optional<DeviceCredentials> &credentials) = 0;
        virtual std::optional<PendingClaimState> pendingClaim() const = 0;
        virtual void setPendingClaim(const std::optional<PendingClaimState> &claim) = 0;
        virtual bool hasServiceClient() const = 0;
        virtual void setServiceClient(std::shared_ptr<DeviceServiceClient> client) = 0;
    };

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
        // The poll loop's client for an API origin; null when none can be made.
        std::function<std::shared_ptr<DeviceServiceClient>(const QString &apiBaseURL)> makeServiceClient;
        OAuthManager::Options oauth;
        std::shared_ptr<Alerts> alerts;
        std::function<void(const QString &)> appendLog;
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

    SignInFlows(Host &host, Dependencies dependencies, QObject *parent = nullptr);
    ~SignInFlows() override;

    // The menu's "Sign in to Veltro": refuses outside the application bundle, else opens the
    // sign-in window and runs the flow of the request it yields.
    void registerDevice();
    // At start: the sign-in entry once per run, when nothing is enrolled or pending.
    void presentInitialClaimPromptIfNeeded();

    QCoro::Task<void> registerDeviceFlow(QString apiBaseURL, QString deviceName, SignInMethod method,
                                         std::optional<QString> oauthClientID,
                                         std::optional<QString> oauthClientSecret,
                                         QPointer<SignInWindowController> signIn);
    QCoro::Task<void> claimDeviceFlow(QString apiBaseURL, QString deviceName, QString enrollmentSecret,
                                      QString inviteCode, std::optional<QString> humanClaimName,
                                      QPointer<SignInWindowController> signIn);
    // One status poll of a pending claim; completes an approved one.
    QCoro::Task<void> resumeApprovedClaimIfNeeded(PendingClaimState pendingClaim);

    // DeviceSessionRenewal (the poll loop's).
    QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials credentials,
                                                                       bool force) override;
    bool hasPendingClaim() const override { return m_host.pendingClaim().has_value(); }
    // The host's pending claim, while a service client exists.
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
    std::shared_ptr<APIClient> makeAPIClient(const QString &apiBaseURL) const;

    Host &m_host;
    Dependencies m_deps;
    OAuthManager *m_oauthManager;
    QPointer<SignInWindowController> m_signInWindow;
    bool m_didPresentInitialClaimPrompt = false;
};

}  // namespace mornix
