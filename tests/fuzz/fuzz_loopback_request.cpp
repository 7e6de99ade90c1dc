// Fuzz harness: what a local client sends the sign-in's loopback listener. Invariants: a request
// judged a valid callback names 127.0.0.1, the listener's port and the path /oauth/callback, and
// its first `state` is the attempt's; every answer's Content-Length is its body's byte length.
#include "signin/oauth_loopback_listener.h"

#include <QUrlQuery>

#include <cstdint>
#include <cstdlib>

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString expected = QStringLiteral("mornix_s");
    const OAuthLoopbackListener::Verdict verdict = OAuthLoopbackListener::classify(bytes, 53682, expected);
    if (verdict.kind == OAuthLoopbackListener::Verdict::Kind::valid) {
        const QUrl &url = verdict.callbackURL;
        if (url.host() != QLatin1String("127.0.0.1") || url.port() != 53682
            || url.path(QUrl::FullyDecoded) != QLatin1String("/oauth/callback"))
            std::abort();
        bool stateSeen = false;
        for (const auto &item : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
            if (item.first == QLatin1String("state")) {
                if (item.second != expected)
                    std::abort();
                stateSeen = true;
                break;
            }
        }
        if (!stateSeen)
            std::abort();
    }
    // Pages carry outside text (a provider's error description): escaped, and counted exactly.
    const QByteArray answer =
        OAuthLoopbackListener::response(OAuthLoopbackListener::failurePage(QString::fromUtf8(bytes)));
    const qsizetype split = answer.indexOf("\r\n\r\n");
    const qsizetype lengthAt = answer.indexOf("Content-Length: ");
    if (split < 0 || lengthAt < 0 || lengthAt > split)
        std::abort();
    const QByteArray length = answer.mid(lengthAt + 16, answer.indexOf("\r\n", lengthAt) - lengthAt - 16);
    const QByteArray body = answer.mid(split + 4);
    if (length.toLongLong() != body.size() || body.count("<p>") != 1 || body.count("</p>") != 1)
        std::abort();
    return 0;
}
