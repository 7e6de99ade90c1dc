// Fuzz harness: appcast feeds from the network. Invariants: every item the parser keeps has a
// version, a positive length within the archive limit and a 64-byte signature, every item it
// refuses says why, and the newest item is never ordered below another one.
#include "platform/linux/updater/appcast.h"

#include <QByteArray>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<Appcast> feed =
        appcast::parse(xml, QUrl(QStringLiteral("https://updates.example/appcast.xml")));
    if (!feed)
        return 0;
    const QList<AppcastItem> *items = &feed->items;
    for (const RefusedAppcastItem &refused : feed->refused) {
        if (refused.reason.isEmpty())
            std::abort();
    }
    for (const AppcastItem &item : *items) {
        if (item.version.isEmpty() || item.length <= 0 || item.length > appcast::kMaxArchiveBytes
            || item.edSignature.size() != 64)
            std::abort();
    }
    if (const std::optional<AppcastItem> newest = appcast::newest(*items)) {
        for (const AppcastItem &item : *items) {
            if (appcast::compareVersions(newest->version, item.version) < 0)
                std::abort();
        }
    }
    return 0;
}
