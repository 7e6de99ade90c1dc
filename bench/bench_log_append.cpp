// One operational-log entry as the agent writes it: the data and Logs directories opened without
// following links, the file opened O_APPEND | O_NOFOLLOW | O_NONBLOCK and checked on its
// descriptor, the last byte looked at, one write, close. Against a temporary directory.
#include "core/markdown_log_store.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace mornix {

namespace {

void BM_LogAppend(benchmark::State &state)
{
    QTemporaryDir dir;
    MarkdownLogStore store(
        nullptr, [] { return QStringLiteral("1.0 (1)+20260101-000000"); }, nullptr, nullptr,
        dir.path() + QStringLiteral("/VeltroMornix/Logs"));
    const QString message = QStringLiteral("executed 0123abcd terminate_application claude: Application stopped.");
    for (auto _ : state)
        store.append(message);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogAppend);

}  // namespace

}  // namespace mornix

using namespace mornix;

BENCHMARK_MAIN();
