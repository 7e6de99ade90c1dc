// Fuzz harness: the command journal's reader, fed arbitrary file contents. Invariants checked:
// every entry it keeps has a safe id and a well-formed outcome; writing the kept entries back
// and reading them again gives the same entries with no damage (what is kept survives a rewrite).
#include "commands/command_id.h"
#include "commands/command_journal.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const ParsedCommandJournal parsed = parseCommandJournal(bytes);
    QByteArray rewritten;
    for (const JournalEntry &entry : parsed.entries) {
        if (!command_id::isSafe(entry.id))
            std::abort();
        if (entry.outcome && entry.outcome->status == AckStatus::received)
            std::abort();
        rewritten += commandJournalLine(entry);
    }
    if (parsed.entries.size() + parsed.damagedLines > bytes.count('\n') + 1)
        std::abort();
    const ParsedCommandJournal again = parseCommandJournal(rewritten);
    if (again.damagedLines != 0 || again.entries != parsed.entries)
        std::abort();
    return 0;
}
