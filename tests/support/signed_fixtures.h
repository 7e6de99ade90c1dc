#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace mornix {

// Builders of fake agent clients for tests: application bundles and standalone CLIs made from
// the sleeper fixture, signed with the dev PKI's team certificates by veltro-codesign. The same
// can be done from a shell:
//   cp mornix-fixture-sleeper DIR/claude
//   veltro-codesign --cert pki/team-Q6L2SF6YDW.pem --key pki/team-Q6L2SF6YDW.key
//                   --identifier com.anthropic.claude-code DIR/claude
// (see scripts/make-fake-agent for bundles).
namespace fixtures {

inline const QString kAnthropicTeam = QStringLiteral("Q6L2SF6YDW");
inline const QString kOpenAITeam = QStringLiteral("2DC432GLL2");
inline const QString kForeignTeam = QStringLiteral("ZX9F0RE1GN");
// Our own dev team: signs the agent's bundle and Veltro's own fixtures, and is no vendor's team.
inline const QString kOwnTeam = QStringLiteral(MORNIX_DEV_TEAM);

QString sleeperPath();
QString codesignToolPath();
QString anchorsPath();

// Signs a bundle or executable with a dev team; identifier empty: the tool's default.
bool sign(const QString &path, const QString &team, const QString &identifier = {});

struct BundleOptions {
    QString displayName;     // CFBundleDisplayName, omitted when empty
    QString executableName;  // default: the bundle's name
};

// Creates DIR/NAME.app with Info.plist (CFBundleIdentifier, CFBundleName = NAME,
// CFBundleExecutable) and the sleeper as its executable; signs it when team is not empty.
// Returns the bundle path, or an empty string on failure.
QString makeBundle(const QString &directory, const QString &name, const QString &bundleIdentifier, const QString &team,
                   const BundleOptions &options = {});
QString bundleExecutable(const QString &bundlePath);

// Copies the sleeper to DIR/NAME and signs it (identifier as given) when team is not empty.
QString makeCLI(const QString &directory, const QString &name, const QString &identifier, const QString &team);

// Changes the bytes of a file after signing (appends a byte).
bool tamper(const QString &path);
// Breaks a bundle's signature: changes a byte of its signed content (the format name).
bool corruptSignature(const QString &bundlePath);

// The usual cast of the catalogs.
QString makeClaudeDesktop(const QString &directory, const QString &team = kAnthropicTeam);
QString makeChatGPT(const QString &directory, const QString &team = kOpenAITeam);
QString makeCodexApp(const QString &directory, const QString &team = kOpenAITeam);
QString makeClaudeCode(const QString &directory, const QString &team = kAnthropicTeam);
QString makeCodexCLI(const QString &directory, const QString &team = kOpenAITeam);

// A running fixture process; killed (SIGKILL) and reaped on destruction.
class RunningFixture {
public:
    // Starts the program and waits until it printed "ready". isRunning() is false on failure.
    explicit RunningFixture(const QString &program, const QStringList &arguments = {});
    ~RunningFixture();
    RunningFixture(const RunningFixture &) = delete;
    RunningFixture &operator=(const RunningFixture &) = delete;

    bool isRunning() const;
    qint32 pid() const;
    // Waits for the process to end (reaping it); true when it ended within the time.
    bool waitForExit(int timeoutMs);

private:
    std::unique_ptr<QProcess> m_process;
};

}  // namespace fixtures

}  // namespace mornix
