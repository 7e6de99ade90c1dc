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
    void catalogsDeriveFromTheAllowList();
    void applicationProduct_data();
    void applicationProduct();
    void processProduct_data();
    void processProduct();
};

// The catalogs are derived from the allow list: every product is found again under its (key, kind)
// and by its signing identifiers, and a family's stop set and teams are the union of its
// products'. The table's entries are in the forms the lookups compare against.
void CatalogsTest::catalogsDeriveFromTheAllowList()
{
    static const QRegularExpression teamForm(QStringLiteral("^[A-Z0-9]{10}$"));
    QHash<QString, QSet<QString>> familyIDs;
    QHash<QString, QSet<QString>> familyTeams;
    QStringList familyOrder;
    for (const AllowList::ProductEntry &entry : AllowList::products()) {
        const Product *product = AgentProductCatalog::find(entry.key, entry.kind);
        QVERIFY2(product && product->appKey == entry.appKey, qPrintable(entry.key));
        QVERIFY2(teamForm.match(entry.team).hasMatch(), qPrintable(entry.team));
        if (!familyOrder.contains(entry.appKey))
            familyOrder.append(entry.appKey);
        familyTeams[entry.appKey].insert(entry.team);
        familyIDs[entry.appKey].unite(AgentProductCatalog::admittedBundleIDs(*product));
        QCOMPARE(AgentProductCatalog::admittedBundleIDs(*product).isEmpty(),
                 entry.kind == AgentProductCatalog::kProcessKind);
        for (const QString &id : entry.signingIdentifiers)
            QCOMPARE(AgentProductCatalog::processProduct(id, entry.team), std::optional(*product));
        for (const QString &name : entry.executableNames)
            QVERIFY2(AgentProductCatalog::processExecutableNames().contains(name) && name == name.toLower(),
                     qPrintable(name));
    }
    QCOMPARE(AgentProductCatalog::all().size(), AllowList::products().size());
    QCOMPARE(AgentProductCatalog::find(QStringLiteral("codex"), QStringLiteral("daemon")), nullptr);
    for (const AllowList::ApplicationRule &rule : AllowList::applicationRules()) {
        QVERIFY2(AgentProductCatalog::find(rule.productKey, AgentProductCatalog::kApplicationKind.toString()),
                 qPrintable(rule.productKey));
        QCOMPARE(rule.nameContains, normalizedCatalogText(rule.nameContains));
        for (const QString &id : rule.bundleIDs)
            QCOMPARE(id, normalizedCatalogText(id));
    }

    QCOMPARE(familyOrder, (QStringList{"claude", "chatgpt", "codex"}));
    QSet<QString> allIDs;
    for (const KillTargetCatalog::Target &target : KillTargetCatalog::all()) {
        QCOMPARE(target.key, familyOrder.takeFirst());
        QCOMPARE(target.bundleIDs, familyIDs.value(target.key));
        QCOMPARE(target.teamIdentifiers, familyTeams.value(target.key));
        QCOMPARE(KillTargetCatalog::byKey().value(target.key), target);
        allIDs.unite(target.bundleIDs);
    }
    QVERIFY(familyOrder.isEmpty());
    QCOMPARE(KillTargetCatalog::byKey().size(), KillTargetCatalog::all().size());
    QCOMPARE(AgentProductCatalog::applicationBundleIDs(), allIDs);
    // com.openai.codex belongs to two families: ChatGPT's and Codex's.
    QVERIFY(familyIDs.value(QStringLiteral("chatgpt")).contains(QStringLiteral("com.openai.codex")));
    QCOMPARE(familyIDs.value(QStringLiteral("codex")), QSet<QString>{QStringLiteral("com.openai.codex")});
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
