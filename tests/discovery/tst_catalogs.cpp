#include "discovery/agent_product_catalog.h"
#include "discovery/allow_list.h"
#include "discovery/catalog_text.h"
#include "discovery/kill_target_catalog.h"

#include <QRegularExpression>
#include <QTest>

#include <algorithm>

namespace mornix {

using AgentProductCatalog::Product;

}  // namespace mornix

using namespace mornix;

Q_DECLARE_METATYPE(std::optional<Product>)

namespace mornix {

class CatalogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tableIsConsistent();
    void familiesDeriveFromProducts();
    void applicationProduct_data();
    void applicationProduct();
    void processProduct_data();
    void processProduct();
};

void CatalogsTest::tableIsConsistent()
{
    // Products are told apart by (key, kind), and each one is found again under its own pair.
    QSet<QPair<QString, QString>> pairs;
    for (const Product &product : AgentProductCatalog::all()) {
        QVERIFY2(!pairs.contains({product.key, product.kind}), qPrintable(product.key));
        pairs.insert({product.key, product.kind});
        QVERIFY(AgentProductCatalog::find(product.key, product.kind) == &product);
        // Every product belongs to a stop-target family.
        QVERIFY2(KillTargetCatalog::byKey().contains(product.appKey), qPrintable(product.key));
        QVERIFY(product.kind == AgentProductCatalog::kApplicationKind
                || product.kind == AgentProductCatalog::kProcessKind);
        // Applications are found by bundle identifier, processes by executable name and signing id.
        const auto entry = std::find_if(AllowList::products().begin(), AllowList::products().end(),
                                        [&](const AllowList::ProductEntry &e) {
                                            return e.key == product.key && e.kind == product.kind;
                                        });
        QVERIFY(entry != AllowList::products().end());
        if (product.kind == AgentProductCatalog::kApplicationKind) {
            QVERIFY2(!AgentProductCatalog::admittedBundleIDs(product).isEmpty(), qPrintable(product.key));
        } else {
            QVERIFY(AgentProductCatalog::admittedBundleIDs(product).isEmpty());
            QVERIFY(!entry->executableNames.isEmpty() && !entry->signingIdentifiers.isEmpty());
            for (const QString &id : entry->signingIdentifiers) {
                const auto found = AgentProductCatalog::processProduct(id, entry->team);
                QVERIFY(found && *found == product);
            }
        }
        // Teams are compared exactly, so they must be in the form signing certificates carry.
        static const QRegularExpression teamForm(QStringLiteral("^[A-Z0-9]{10}$"));
        QVERIFY2(teamForm.match(entry->team).hasMatch(), qPrintable(entry->team));
    }
    QCOMPARE(AgentProductCatalog::find(QStringLiteral("codex"), QStringLiteral("daemon")), nullptr);
    // The two codex products differ only in kind.
    QVERIFY(!(AgentProductCatalog::codexApplication() == AgentProductCatalog::codexProcess()));
    QCOMPARE(AgentProductCatalog::codexApplication().key, AgentProductCatalog::codexProcess().key);

    // Rules name application products; the identifiers they compare against are normalised.
    for (const AllowList::ApplicationRule &rule : AllowList::applicationRules()) {
        QVERIFY2(AgentProductCatalog::find(rule.productKey, AgentProductCatalog::kApplicationKind.toString()),
                 qPrintable(rule.productKey));
        QCOMPARE(rule.nameContains, normalizedCatalogText(rule.nameContains));
        for (const QString &id : rule.bundleIDs)
            QCOMPARE(id, normalizedCatalogText(id));
    }
    for (const QString &name : AgentProductCatalog::processExecutableNames())
        QCOMPARE(name, name.toLower());
}

void CatalogsTest::familiesDeriveFromProducts()
{
    // Families in order of first appearance; a family's stop set is the union of its
    // applications' bundle identifiers and its teams those of all its products.
    QStringList keys;
    for (const KillTargetCatalog::Target &target : KillTargetCatalog::all())
        keys.append(target.key);
    QCOMPARE(keys, (QStringList{QStringLiteral("claude"), QStringLiteral("chatgpt"), QStringLiteral("codex")}));
    QCOMPARE(KillTargetCatalog::byKey().size(), KillTargetCatalog::all().size());

    QSet<QString> fromTargets;
    for (const KillTargetCatalog::Target &target : KillTargetCatalog::all()) {
        QSet<QString> ids;
        QSet<QString> teams;
        for (const AllowList::ProductEntry &entry : AllowList::products()) {
            if (entry.appKey != target.key)
                continue;
            teams.insert(entry.team);
            ids.unite(AgentProductCatalog::admittedBundleIDs(*AgentProductCatalog::find(entry.key, entry.kind)));
        }
        QCOMPARE(target.bundleIDs, ids);
        QCOMPARE(target.teamIdentifiers, teams);
        QCOMPARE(KillTargetCatalog::byKey().value(target.key), target);
        fromTargets.unite(target.bundleIDs);
    }
    QCOMPARE(AgentProductCatalog::applicationBundleIDs(), fromTargets);
    // com.openai.codex belongs to two families: ChatGPT's and Codex's.
    QVERIFY(KillTargetCatalog::byKey().value(QStringLiteral("chatgpt")).bundleIDs.contains(QStringLiteral("com.openai.codex")));
    QCOMPARE(KillTargetCatalog::byKey().value(QStringLiteral("codex")).bundleIDs,
             QSet<QString>{QStringLiteral("com.openai.codex")});
}

void CatalogsTest::applicationProduct_data()
{
    QTest::addColumn<QString>("bundleID");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("team");
    QTest::addColumn<std::optional<Product>>("expected");
    const std::optional<Product> none;
    const QString anthropic = AllowList::kAnthropicTeam.toString();
    const QString openai = AllowList::kOpenAITeam.toString();

    QTest::newRow("claude, blanks and case") << " COM.Anthropic.Claude\n" << "anything" << anthropic
                                            << std::optional(AgentProductCatalog::claudeDesktop());
    QTest::newRow("claude, team in lower case") << " COM.Anthropic.Claude\n" << "anything" << anthropic.toLower() << none;
    QTest::newRow("claude for desktop") << "com.anthropic.claudefordesktop" << "" << anthropic
                                        << std::optional(AgentProductCatalog::claudeDesktop());
    QTest::newRow("anthropic team, other bundle") << "com.openai.chatgpt" << "ChatGPT" << anthropic << none;
    QTest::newRow("claude id, openai team") << "com.anthropic.claude" << "Claude" << openai << none;
    QTest::newRow("codex named Codex") << "com.openai.codex" << "Codex" << openai
                                       << std::optional(AgentProductCatalog::codexApplication());
    QTest::newRow("codex named ChatGPT") << "com.openai.codex" << "ChatGPT" << openai
                                         << std::optional(AgentProductCatalog::chatGPT());
    QTest::newRow("codex named Helper") << "com.openai.codex" << "Helper" << openai
                                        << std::optional(AgentProductCatalog::chatGPT());
    QTest::newRow("chat id") << "com.openai.chat" << "" << openai << std::optional(AgentProductCatalog::chatGPT());
    QTest::newRow("foreign id named ChatGPT") << "org.example.wrapper" << "My CHATGPT app" << openai
                                              << std::optional(AgentProductCatalog::chatGPT());
    QTest::newRow("foreign id, openai team") << "org.example.wrapper" << "Codex" << openai << none;
    QTest::newRow("foreign team") << "com.openai.chatgpt" << "ChatGPT" << "ZX9F0RE1GN" << none;
    QTest::newRow("no team") << "com.openai.chatgpt" << "ChatGPT" << "" << none;
    QTest::newRow("prefix is no match") << "com.anthropic.claude.helper" << "Claude" << anthropic << none;
}

void CatalogsTest::applicationProduct()
{
    QFETCH(QString, bundleID);
    QFETCH(QString, name);
    QFETCH(QString, team);
    QFETCH(std::optional<Product>, expected);
    const auto product = AgentProductCatalog::applicationProduct(bundleID, name, team);
    QCOMPARE(product.has_value(), expected.has_value());
    if (product)
        QVERIFY(*product == *expected);
}

void CatalogsTest::processProduct_data()
{
    QTest::addColumn<QString>("signingID");
    QTest::addColumn<QString>("team");
    QTest::addColumn<std::optional<Product>>("expected");
    const std::optional<Product> none;
    QTest::newRow("codex") << "codex" << AllowList::kOpenAITeam.toString() << std::optional(AgentProductCatalog::codexProcess());
    QTest::newRow("com.openai.codex, padded") << "\tCom.OpenAI.Codex " << AllowList::kOpenAITeam.toString()
                                              << std::optional(AgentProductCatalog::codexProcess());
    QTest::newRow("claude code") << "com.anthropic.claude-code" << AllowList::kAnthropicTeam.toString()
                                 << std::optional(AgentProductCatalog::claudeCode());
    QTest::newRow("claude code, openai team") << "com.anthropic.claude-code" << AllowList::kOpenAITeam.toString() << none;
    QTest::newRow("codex, anthropic team") << "codex" << AllowList::kAnthropicTeam.toString() << none;
    QTest::newRow("codex helper") << "codex-helper" << AllowList::kOpenAITeam.toString() << none;
}

void CatalogsTest::processProduct()
{
    QFETCH(QString, signingID);
    QFETCH(QString, team);
    QFETCH(std::optional<Product>, expected);
    const auto product = AgentProductCatalog::processProduct(signingID, team);
    QCOMPARE(product.has_value(), expected.has_value());
    if (product) {
        QVERIFY(*product == *expected);
        QCOMPARE(product->kind, QStringLiteral("process"));
    }
}

}  // namespace mornix

QTEST_GUILESS_MAIN(CatalogsTest)
#include "tst_catalogs.moc"
