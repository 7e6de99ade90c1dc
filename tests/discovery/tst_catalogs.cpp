#include "discovery/agent_product_catalog.h"
#include "discovery/kill_target_catalog.h"

#include <QTest>

using AgentProductCatalog::Product;

Q_DECLARE_METATYPE(std::optional<Product>)

class CatalogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void targetsAreTheThreeFamilies();
    void applicationProduct_data();
    void applicationProduct();
    void processProduct_data();
    void processProduct();
    void applicationBundleIDsCoverEveryTarget();
};

void CatalogsTest::targetsAreTheThreeFamilies()
{
    const auto &all = KillTargetCatalog::all();
    QCOMPARE(all.size(), 3);
    QCOMPARE(all.at(0).key, QStringLiteral("claude"));
    QCOMPARE(all.at(1).key, QStringLiteral("chatgpt"));
    QCOMPARE(all.at(2).key, QStringLiteral("codex"));
    const auto &byKey = KillTargetCatalog::byKey();
    QCOMPARE(QSet<QString>(byKey.keyBegin(), byKey.keyEnd()),
             (QSet<QString>{QStringLiteral("claude"), QStringLiteral("chatgpt"), QStringLiteral("codex")}));
    // com.openai.codex belongs to two families.
    QVERIFY(byKey.value(QStringLiteral("chatgpt")).bundleIDs.contains(QStringLiteral("com.openai.codex")));
    QCOMPARE(byKey.value(QStringLiteral("codex")).bundleIDs, QSet<QString>{QStringLiteral("com.openai.codex")});
    QCOMPARE(byKey.value(QStringLiteral("claude")).teamIdentifiers, QSet<QString>{QStringLiteral("Q6L2SF6YDW")});
    QCOMPARE(byKey.value(QStringLiteral("codex")).teamIdentifiers, QSet<QString>{QStringLiteral("2DC432GLL2")});
    for (const auto &target : all) {
        for (const QString &id : target.bundleIDs)
            QCOMPARE(id, id.toLower());
    }
}

void CatalogsTest::applicationProduct_data()
{
    QTest::addColumn<QString>("bundleID");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("team");
    QTest::addColumn<std::optional<Product>>("expected");
    const std::optional<Product> none;
    const QString anthropic = QStringLiteral("Q6L2SF6YDW");
    const QString openai = QStringLiteral("2DC432GLL2");

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
    QTest::newRow("codex") << "codex" << "2DC432GLL2" << std::optional(AgentProductCatalog::codexProcess());
    QTest::newRow("com.openai.codex, padded") << "\tCom.OpenAI.Codex " << "2DC432GLL2"
                                              << std::optional(AgentProductCatalog::codexProcess());
    QTest::newRow("claude code") << "com.anthropic.claude-code" << "Q6L2SF6YDW"
                                 << std::optional(AgentProductCatalog::claudeCode());
    QTest::newRow("claude code, openai team") << "com.anthropic.claude-code" << "2DC432GLL2" << none;
    QTest::newRow("codex, anthropic team") << "codex" << "Q6L2SF6YDW" << none;
    QTest::newRow("codex helper") << "codex-helper" << "2DC432GLL2" << none;
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

void CatalogsTest::applicationBundleIDsCoverEveryTarget()
{
    QSet<QString> fromTargets;
    for (const auto &target : KillTargetCatalog::all())
        fromTargets.unite(target.bundleIDs);
    QCOMPARE(AgentProductCatalog::applicationBundleIDs(), fromTargets);
    QCOMPARE(fromTargets.size(), 6);
    // The two codex products differ only in kind.
    QVERIFY(!(AgentProductCatalog::codexApplication() == AgentProductCatalog::codexProcess()));
    QCOMPARE(AgentProductCatalog::codexApplication().key, AgentProductCatalog::codexProcess().key);
}

QTEST_GUILESS_MAIN(CatalogsTest)
#include "tst_catalogs.moc"
