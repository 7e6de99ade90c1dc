#include "discovery/agent_product_catalog.h"

#include "discovery/catalog_text.h"
#include "discovery/kill_target_catalog.h"

namespace AgentProductCatalog {
namespace {

const QString kAnthropicTeam = QStringLiteral("Q6L2SF6YDW");
const QString kOpenAITeam = QStringLiteral("2DC432GLL2");

Product makeProduct(const char *key, const char *label, const char *appKey, QStringView kind)
{
    return Product{QString::fromLatin1(key), QString::fromLatin1(label), QString::fromLatin1(appKey),
                   kind.toString()};
}

}  // namespace

const Product &claudeDesktop()
{
    static const Product product = makeProduct("claude-desktop", "Claude Desktop", "claude", kApplicationKind);
    return product;
}

const Product &chatGPT()
{
    static const Product product = makeProduct("chatgpt", "ChatGPT", "chatgpt", kApplicationKind);
    return product;
}

const Product &codexApplication()
{
    static const Product product = makeProduct("codex", "Codex", "codex", kApplicationKind);
    return product;
}

const Product &claudeCode()
{
    static const Product product = makeProduct("claude-code", "Claude Code", "claude", kProcessKind);
    return product;
}

const Product &codexProcess()
{
    static const Product product = makeProduct("codex", "Codex", "codex", kProcessKind);
    return product;
}

const QSet<QString> &applicationBundleIDs()
{
    static const QSet<QString> ids = {
        QStringLiteral("com.anthropic.claude"), QStringLiteral("com.anthropic.claudefordesktop"),
        QStringLiteral("com.anthropic.claudedesktop"), QStringLiteral("com.openai.chatgpt"),
        QStringLiteral("com.openai.chat"), QStringLiteral("com.openai.codex"),
    };
    return ids;
}

std::optional<Product> applicationProduct(const QString &bundleID, const QString &localizedName,
                                          const QString &teamIdentifier)
{
    const QString b = normalizedCatalogText(bundleID);
    const QString n = normalizedCatalogText(localizedName);

    if (teamIdentifier == kAnthropicTeam) {
        if (KillTargetCatalog::byKey().value(QStringLiteral("claude")).bundleIDs.contains(b))
            return claudeDesktop();
        return std::nullopt;
    }
    if (teamIdentifier == kOpenAITeam) {
        if (b == QLatin1String("com.openai.chatgpt") || b == QLatin1String("com.openai.chat")
            || n.contains(QLatin1String("chatgpt")))
            return chatGPT();
        if (b == QLatin1String("com.openai.codex"))
            return n.contains(QLatin1String("codex")) ? codexApplication() : chatGPT();
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Product> processProduct(const QString &signingIdentifier, const QString &teamIdentifier)
{
    const QString s = normalizedCatalogText(signingIdentifier);
    if (teamIdentifier == kAnthropicTeam && s == QLatin1String("com.anthropic.claude-code"))
        return claudeCode();
    if (teamIdentifier == kOpenAITeam && (s == QLatin1String("com.openai.codex") || s == QLatin1String("codex")))
        return codexProcess();
    return std::nullopt;
}

}  // namespace AgentProductCatalog
