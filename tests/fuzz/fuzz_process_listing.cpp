// Fuzz harness: process-table texts from outside the program: the process tool's listing and
// single-pid answer, and /proc/PID/stat. Invariants: every listed line has a five-field launch
// identity with single blanks and a non-empty executable path without surrounding blanks.
#include "platform/macos/ps_listing.h"
#include "platform/linux/process/proc_fs.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    for (const ps_listing::Line &line : ps_listing::parseProcessListing(text)) {
        if (line.launchIdentity.split(QLatin1Char(' ')).size() != 5
            || line.launchIdentity.contains(QStringLiteral("  ")))
            std::abort();
        if (line.executablePath.isEmpty() || line.executablePath != line.executablePath.trimmed())
            std::abort();
    }
    const ProcessStartObservation start = ps_listing::parseStartIdentity(true, true, 0, text);
    if (start.state == ProcessStartObservation::State::observed
        && (start.startText.isEmpty() || start.startText != start.startText.simplified()))
        std::abort();
    (void)procfs::parseStat(text);
    return 0;
}
