#pragma once

#include <QByteArray>

#include <optional>

namespace mornix {

// Reads standard input to its end in chunks of at most 4096 bytes. After each chunk the total is
// compared with `limit`: more than `limit` bytes, or a read error, gives nullopt at once (the
// rest is not read). Exactly `limit` bytes is accepted. `readError` (if given) tells a read
// error from an oversized input. Thread: main thread (blocks).
std::optional<QByteArray> readStandardInput(qsizetype limit = 32768, int fd = 0, bool *readError = nullptr);

}  // namespace mornix
