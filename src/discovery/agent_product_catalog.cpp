#include "discovery/agent_product_catalog.h"

#include "discovery/catalog_text.h"

namespace mornix {

namespace AgentProductCatalog {
namespace {

const Product &required(QStringView key, QStringView kind)
{
    const Product *product = find(key.toString(), kind.toString());
    Q_ASSERT(product);
    return *product;
}

bool matches(const AllowList::ApplicationRule &rule, const QString &bundleID, const QString &name)
{
    return (rule.bundleIDs.isEmpty() || rule.bundleIDs.contains(bundleID))
           && (rule.nameContains.isEmpty() || name.contains(rule.nameContains));
}

}  // namespace

const QList<Product> &all()
{
    static const QList<Product> products = [] {
        QList<Product> result;
        for (const AllowList::ProductEntry &entry : AllowList::products())
            result.append(Product{entry.key, entry.label, entry.appKey, entry.kind});
        return result;
    }();
    return products;
}

const Product *find(const QString &key, const QString &kind)
{
    for (const Product &product : all()) {
        if (product.key == key && product.kind == kind)
            return &product;
    }
    return nullptr;
}

const Product &claudeDesktop()
{
    return required(u"claude-desktop", kApplicationKind);
}

const Product &chatGPT()
{
    return required(u"chatgpt", kApplicationKind);
}

const Product &codexApplication()
{
    return required(u"codex", kApplicationKind);
}

const Product &claudeCode()
{
    return required(u"claude-code", kProcessKind);
}

const Product &codexProcess()
{
    return required(u"codex", kProcessKind);
}

const QSet<QString> &applicationBundleIDs()
{
    static const QSet<QString> ids = [] {
        QSet<QString> result;
        for (const AllowList::ApplicationRule &rule : AllowList::applicationRules())
            result.unite(QSet<QString>(rule.bundleIDs.begin(), rule.bundleIDs.end()));
        return result;
    }();
    return ids;
}

QSet<QString> admittedBundleIDs(const Product &product)
{
    QSet<QString> ids;
    if (product.kind != kApplicationKind)
        return ids;
    for (const AllowList::ApplicationRule &rule : AllowList::applicationRules()) {
        if (rule.productKey == product.key)
            ids.unite(QSet<QString>(rule.bundleIDs.begin(), rule.bundleIDs.end()));
    }
    return ids;
}

const QSet<QString> &processExecutableNames()
{
    static const QSet<QString> names = [] {
        QSet<QString> result;
        for (const AllowList::ProductEntry &entry : AllowList::products())
            result.unite(QSet<QString>(entry.executableNames.begin(), entry.executableNames.end()));
        return result;
    }();
    return names;
}

std::optional<Product> applicationProduct(const QString &bundleID, const QString &localizedName,
                                          const QString &teamIdentifier)
{
    const QString b = normalizedCatalogText(bundleID);
    const QString n = normalizedCatalogText(localizedName);
    for (const AllowList::ApplicationRule &rule : AllowList::applicationRules()) {
        if (rule.team == teamIdentifier && matches(rule, b, n))
            return required(rule.productKey, kApplicationKind);
    }
    return std::nullopt;
}

std::optional<Product> processProduct(const QString &signingIdentifier, const QString &teamIdentifier)
{
    const QString s = normalizedCatalogText(signingIdentifier);
    const QList<AllowList::ProductEntry> &entries = AllowList::products();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const AllowList::ProductEntry &entry = entries.at(i);
        if (entry.kind == kProcessKind && entry.team == teamIdentifier && entry.signingIdentifiers.contains(s))
            return all().at(i);
    }
    return std::nullopt;
}

}  // namespace AgentProductCatalog

}  // namespace mornix
