// Costs on the poll loop's path: decoding a command, building its acknowledgement, and cleaning
// log texts (every append and acknowledgement message goes through sanitizeLog).
#include "commands/command_acknowledgement.h"
#include "commands/kill_command.h"
#include "support/text_cleaning.h"

#include <QJsonArray>

#include <benchmark/benchmark.h>

namespace mornix {

namespace {

const QByteArray kEnvelope = QByteArrayLiteral(
    "{\"command\":{\"id\":\"cmd-1\",\"protocol_version\":1,\"action\":\"terminate_application\",\"app_key\":\"claude\","
    "\"target_bundle_ids\":[\"com.anthropic.claude\",\"com.anthropic.claudefordesktop\",\"com.anthropic."
    "claudedesktop\"],"
    "\"reason\":\"policy\",\"target_surface\":\"desktop\",\"metadata\":{\"requested_by\":\"admin@example.com\"}}}");

void BM_DecodeEnvelope(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(KillCommandEnvelope::decode(kEnvelope));
}
BENCHMARK(BM_DecodeEnvelope);

void BM_Acknowledgement(benchmark::State &state)
{
    const KillExecutionResult result{
        true, QStringLiteral("Application stopped."),
        QJsonObject{{"app_key", "claude"},
                    {"requested_bundle_ids", QJsonArray{"com.anthropic.claude", "com.anthropic.claudedesktop",
                                                        "com.anthropic.claudefordesktop"}},
                    {"terminated_bundle_ids", QJsonArray{"com.anthropic.claude"}},
                    {"forced_bundle_ids", QJsonArray{}},
                    {"already_stopped_bundle_ids", QJsonArray{"com.anthropic.claudedesktop"}},
                    {"signature_rejected_bundle_ids", QJsonArray{}},
                    {"all_stopped", true}}};
    for (auto _ : state)
        benchmark::DoNotOptimize(CommandAcknowledgement::make("cmd-1", "device-1", AckStatus::executed, result));
}
BENCHMARK(BM_Acknowledgement);

// A log text of the given length in UTF-16 units with combining marks and emoji, cut to 4000.
void BM_SanitizeLog(benchmark::State &state)
{
    const QString unit = QStringLiteral("e\u0301 \U0001F44D\U0001F3FD line\n");
    const QString text = unit.repeated(state.range(0) / unit.size() + 1).left(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(sanitizeLog(text, 4000));
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}
BENCHMARK(BM_SanitizeLog)->Arg(200)->Arg(4000)->Arg(100000);

}  // namespace

}  // namespace mornix

using namespace mornix;

BENCHMARK_MAIN();
