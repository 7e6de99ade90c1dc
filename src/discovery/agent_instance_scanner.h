#pragma once

#include "discovery/agent_instance.h"
#include "discovery/agent_product_catalog.h"
#include "platform/code_signing.h"
#include "platform/process_table.h"
#include "platform/workspace.h"

#include <QHash>
#include <QList>

#include <memory>
#include <optional>

namespace mornix {

// Finds the agent clients running right now: desktop applications from the workspace and
// command-line agents from the process table, each admitted only after its code signature
// passed validation and matched a product. Holds no state of its own (the previous scan is
// passed in). Thread: any; calls block while signatures are checked, so run them off the main
// thread (the monitor's worker, or a pool thread).
class AgentInstanceScanner {
public:
    static constexpr qsizetype kMaxInstances = 32;
    static constexpr int kMaxSignatureEvaluations = 64;

    AgentInstanceScanner(std::shared_ptr<Workspace> workspace, std::shared_ptr<ProcessTable> processTable,
                         std::shared_ptr<CodeSigning> codeSigning);

    // One scan. existing: the previous result by pid; unchanged instances are carried over
    // without a new signature check (a process only while its precise start and image are the
    // ones verified). Result sorted by local_instance_id, at most 32.
    QList<DetectedAgentInstance> reconcile(const QHash<qint32, DetectedAgentInstance> &existing) const;

    std::optional<DetectedAgentInstance> applicationInstance(const RunningApplication &application) const;

    struct CandidateProcess {
        qint32 pid = 0;
        QString launchIdentity;
        quint64 startTicks = 0;
        ProcessImage image;
    };
    // Processes whose executable bears a command-line product's name (any case) and does not lie
    // inside an application bundle, in ascending pid order.
    QList<CandidateProcess> candidateProcesses() const;

    ProcessStartObservation processStartIdentity(qint32 pid) const;
    // Dynamic signature check of a running process: identifier and team, both non-empty.
    std::optional<SigningInformation> signingIdentity(qint32 pid) const;

    AgentInstanceLiveness liveness(const DetectedAgentInstance &instance) const;

    // What a fresh check verified, for signalling exactly that process: the running application
    // (its launchToken is the precise start) or the process's start observation (with ticks).
    struct Authorization {
        std::optional<RunningApplication> application;  // kind "application"
        ProcessStartObservation processStart;           // kind "process"
    };
    // Still running, and a fresh detection (the running image's signature included) yields
    // exactly the same instance; nullopt otherwise.
    std::optional<Authorization> currentAuthorization(const DetectedAgentInstance &instance) const;
    bool isCurrentAuthorizedTarget(const DetectedAgentInstance &instance) const
    {
        return currentAuthorization(instance).has_value();
    }

    // True when any path component, lower-cased, ends in ".app".
    static bool isBundledApplicationExecutable(const QString &path);
    static bool isCandidateExecutableName(const QString &path);

    // The id text is key:kind:pid:launchIdentity:signingIdentifier:bundleID (bundle id empty for
    // a process); the id is "local_" + hex SHA-256 of its UTF-8 bytes.
    static QString instanceIDText(const AgentProductCatalog::Product &product, qint32 pid,
                                  const QString &signingIdentifier, const std::optional<QString> &bundleID,
                                  const QString &launchIdentity);
    static DetectedAgentInstance detected(const AgentProductCatalog::Product &product, qint32 pid,
                                          const QString &signingIdentifier, const std::optional<QString> &bundleID,
                                          const QString &launchIdentity);

    // Application form of a launch identity: the shortest decimal text that reads back as the
    // same double, always with a fractional part.
    static QString applicationLaunchIdentity(double secondsSince1970);

    const std::shared_ptr<Workspace> &workspace() const { return m_workspace; }
    const std::shared_ptr<ProcessTable> &processTable() const { return m_processTable; }

private:
    std::optional<SigningInformation> applicationSigningIdentity(const RunningApplication &application) const;

    std::shared_ptr<Workspace> m_workspace;
    std::shared_ptr<ProcessTable> m_processTable;
    std::shared_ptr<CodeSigning> m_codeSigning;
};

}  // namespace mornix
