#pragma once

#include "support/process_runner.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace mornix {

// A software TPM 2.0 (`swtpm socket`) on free ports of 127.0.0.1 with its state in a private
// directory, for tests and benchmarks of the TPM key with the real TSS stack. The TPM is started
// (TPM2_Startup) by swtpm itself, as firmware would.
class SwtpmProcess {
public:
    SwtpmProcess();
    ~SwtpmProcess();
    SwtpmProcess(const SwtpmProcess &) = delete;
    SwtpmProcess &operator=(const SwtpmProcess &) = delete;

    // Starts on fresh ports with the current state directory; false (and errorText) on failure.
    bool start();
    // Ends the process; the TPM's persistent state stays in the state directory.
    void stop();
    bool restart()
    {
        stop();
        return start();
    }
    // Stops, throws the state away and starts a brand-new TPM (new seeds) at the same address.
    bool replaceWithFreshTpm();

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString tcti() const;  // "swtpm:host=127.0.0.1,port=N"
    QString errorText() const { return m_error; }

    // Runs a tpm2-tools program against this TPM (its TCTI set through the environment).
    ProcessResult tool(const QString &program, const QStringList &arguments) const;
    // Flushes every transient object (tpm2-tools leave theirs behind: swtpm has no resource
    // manager).
    void flushTransient() const;
    // The transient handles currently loaded ("0x80000000", ...).
    QStringList transientHandles() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

}  // namespace mornix
