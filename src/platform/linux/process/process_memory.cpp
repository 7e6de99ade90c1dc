#include "platform/linux/process/process_memory.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

#include <malloc.h>

namespace mornix {

namespace {

constexpr int kArenas = 2;  // the main thread's, and one the worker threads share

bool userLimitsArenas()
{
    return qEnvironmentVariableIsSet("MALLOC_ARENA_MAX") || qgetenv("GLIBC_TUNABLES").contains("arena_max");
}

}  // namespace

void tuneProcessMemory()
{
    if (!userLimitsArenas())
        mallopt(M_ARENA_MAX, kArenas);

    // Qt reads QT_ENABLE_REGEXP_JIT once, when it compiles its first pattern, and keeps the
    // answer: compile one here with the variable set, then take the variable away again. Were a
    // later Qt to read it at every compile, patterns would simply be compiled to machine code
    // again (no change of results).
    if (!qEnvironmentVariableIsSet("QT_ENABLE_REGEXP_JIT")) {
        qputenv("QT_ENABLE_REGEXP_JIT", "0");
        const QRegularExpression first(QStringLiteral("^$"));
        (void)first.isValid();
        qunsetenv("QT_ENABLE_REGEXP_JIT");
    }
}

}  // namespace mornix
