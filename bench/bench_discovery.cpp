// One reconcile of an unchanged machine with 1,000 extra sleeping processes, against one run of
// `/bin/ps -axo pid=,lstart=,comm=` in the same run: as the agent runs it (one incremental
// refresh of the shared /proc listing per rescan) and with full /proc reads per port (no
// records kept); and verification of a 100 MB signed executable, first time and cached.

#include "discovery/agent_instance_scanner.h"
#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/process/executable_listing.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/process/procfs_process_table.h"
#include "platform/linux/process/procfs_workspace.h"
#include "support/child_process.h"
#include "support/config.h"

#include "support/counting_code_signing.h"
#include "support/signed_fixtures.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace mornix {

namespace {

struct Machine {
    QTemporaryDir dir;
    std::vector<pid_t> children;
    QString largeExecutable;
    std::shared_ptr<CountingCodeSigning> signing;
    std::shared_ptr<ExecutableListing> listing;
    std::unique_ptr<AgentInstanceScanner> scanner;      // over the shared, incremental listing
    std::unique_ptr<AgentInstanceScanner> fullScanner;  // each port reads /proc in full
    QHash<qint32, DetectedAgentInstance> previous;
    int agents = 0;

    pid_t spawn(const QString &program)
    {
        const QByteArray path = QFile::encodeName(program);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        char *argv[] = {const_cast<char *>(path.constData()), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid > 0)
            children.push_back(pid);
        return pid;
    }

    bool setUp()
    {
        // The agents of an unchanged machine, and 1,000 unrelated sleeping processes.
        const QString desktop = fixtures::makeClaudeDesktop(dir.path());
        const QString code = fixtures::makeClaudeCode(dir.filePath(QStringLiteral("bin")));
        const QString codex = fixtures::makeCodexCLI(dir.filePath(QStringLiteral("bin")));
        if (desktop.isEmpty() || code.isEmpty() || codex.isEmpty())
            return false;
        spawn(fixtures::bundleExecutable(desktop));
        spawn(code);
        spawn(codex);
        for (int i = 0; i < 1000; ++i) {
            if (spawn(fixtures::sleeperPath()) < 0)
                return false;
        }
        ::usleep(500000);  // let every child reach its exec
        // An unchanged machine: past the age at which the listing still watches a process for an
        // exec in place at every refresh.
        std::this_thread::sleep_for(ExecutableListing::Rotation().youngFor + std::chrono::seconds(1));

        signing = std::make_shared<CountingCodeSigning>(
            std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM));
        // Refreshed explicitly once per rescan below, as the monitor's rescan does through its age.
        listing = std::make_shared<ExecutableListing>(std::chrono::hours(1));
        scanner = std::make_unique<AgentInstanceScanner>(std::make_shared<ProcfsWorkspace>(listing),
                                                         std::make_shared<ProcfsProcessTable>(listing), signing);
        fullScanner = std::make_unique<AgentInstanceScanner>(std::make_shared<ProcfsWorkspace>(),
                                                             std::make_shared<ProcfsProcessTable>(), signing);
        listing->refreshed();
        for (const DetectedAgentInstance &instance : scanner->reconcile({}))
            previous.insert(instance.processIdentifier, instance);
        agents = int(previous.size());

        // A 100 MB signed executable.
        largeExecutable = dir.filePath(QStringLiteral("large/codex"));
        if (fixtures::makeCLI(dir.filePath(QStringLiteral("large")), QStringLiteral("codex"), {}, {}).isEmpty())
            return false;
        QFile large(largeExecutable);
        if (!large.open(QIODevice::Append))
            return false;
        const QByteArray block(1 << 20, '\x5a');
        for (int i = 0; i < 100; ++i)
            large.write(block);
        large.close();
        return fixtures::sign(largeExecutable, fixtures::kOpenAITeam, QStringLiteral("codex"));
    }

    ~Machine()
    {
        for (const pid_t pid : children)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : children)
            ::waitpid(pid, nullptr, 0);
    }
};

Machine *machine = nullptr;

void BM_ReconcileUnchanged(benchmark::State &state)
{
    machine->signing->reset();
    qsizetype found = 0;
    for (auto _ : state) {
        machine->listing->refreshed();
        const QList<DetectedAgentInstance> instances = machine->scanner->reconcile(machine->previous);
        found = instances.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["signature_evaluations"] = double(machine->signing->evaluations());
    state.counters["instances"] = double(found);
    state.counters["agents_at_start"] = double(machine->agents);
}
BENCHMARK(BM_ReconcileUnchanged)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_ReconcileUnchangedFullListing(benchmark::State &state)
{
    machine->signing->reset();
    qsizetype found = 0;
    for (auto _ : state) {
        const QList<DetectedAgentInstance> instances = machine->fullScanner->reconcile(machine->previous);
        found = instances.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["signature_evaluations"] = double(machine->signing->evaluations());
    state.counters["instances"] = double(found);
}
BENCHMARK(BM_ReconcileUnchangedFullListing)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_ProcessToolListing(benchmark::State &state)
{
    qsizetype bytes = 0;
    for (auto _ : state) {
        const ChildProcessResult run =
            runChildProcess(QStringLiteral("/bin/ps"), {QStringLiteral("-axo"), QStringLiteral("pid=,lstart=,comm=")});
        bytes = run.standardOutput.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["output_bytes"] = double(bytes);
}
BENCHMARK(BM_ProcessToolListing)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_VerifyLargeExecutableFirstTime(benchmark::State &state)
{
    bool valid = false;
    for (auto _ : state) {
        CmsCodeSigning fresh(Config::defaults().codeSigningAnchorsPEM);  // empty verdict cache
        valid = fresh.staticSigningInformation(machine->largeExecutable).has_value();
    }
    state.counters["valid"] = valid ? 1 : 0;
}
BENCHMARK(BM_VerifyLargeExecutableFirstTime)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_VerifyLargeExecutableCached(benchmark::State &state)
{
    CmsCodeSigning signing(Config::defaults().codeSigningAnchorsPEM);
    bool valid = signing.staticSigningInformation(machine->largeExecutable).has_value();
    for (auto _ : state)
        valid = signing.staticSigningInformation(machine->largeExecutable).has_value();
    state.counters["valid"] = valid ? 1 : 0;
}
BENCHMARK(BM_VerifyLargeExecutableCached)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What a cached check used to repeat on every call (before verdicts kept the parsed directory):
// parsing the signature's code directory. Measured here so the saving shows in the same run.
void BM_ParseCodeDirectory(benchmark::State &state)
{
    QFile file(code_signature::signatureFilePath(machine->largeExecutable));
    const std::optional<code_signature::VerifiedContent> content =
        file.open(QIODevice::ReadOnly)
            ? code_signature::verifySignedContent(file.readAll(), Config::defaults().codeSigningAnchorsPEM)
            : std::nullopt;
    bool parsed = false;
    for (auto _ : state)
        parsed = content && code_signature::parseCodeDirectory(content->content).has_value();
    state.counters["parsed"] = parsed ? 1 : 0;
}
BENCHMARK(BM_ParseCodeDirectory)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Prints the usual table and, at the end, the rescan's cost as a fraction of one ps run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration)
                m_seconds[run.benchmark_name()] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double rescan = m_seconds["BM_ReconcileUnchanged/min_time:3.000/real_time"];
        const double full = m_seconds["BM_ReconcileUnchangedFullListing/min_time:3.000/real_time"];
        const double ps = m_seconds["BM_ProcessToolListing/min_time:3.000/real_time"];
        if (rescan > 0 && ps > 0)
            std::printf("\nunchanged rescan %.3f ms, ps listing %.3f ms, ratio %.3f (target <= 0.05)\n", rescan * 1e3,
                        ps * 1e3, rescan / ps);
        if (full > 0 && ps > 0)
            std::printf("unchanged rescan with full /proc reads %.3f ms, ratio %.3f\n", full * 1e3, full / ps);
    }

private:
    std::map<std::string, double> m_seconds;
};

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Machine setup;
    if (!setup.setUp()) {
        std::fprintf(stderr, "bench_discovery: could not set up the fixtures\n");
        return 1;
    }
    machine = &setup;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    machine = nullptr;
    return 0;
}
