#include "discovery/agent_product_catalog.h"

#include <QTest>

namespace mornix {

using AgentProductCatalog::Product;

}  // namespace mornix

using namespace mornix;

Q_DECLARE_METATYPE(std::optional<Product>)

namespace mornix {

namespace {
const QString anthropic = QStringLiteral("Q6L2SF6YDW");
const QString openai = QStringLiteral("2DC432GLL2");
}  // namespace

// Which signed application or process is which product, by bundle or signing identifier, name
// and team. (Product labels are checked where the clients-closed notice names them, the kill
// targets' bundle sets where commands are validated.)
class CatalogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void applicationProduct_data();
    void applicationProduct();
    void processProduct_data();
    void processProduct();
};

void CatalogsTest::applicationProduct_data()
{
    QTest::addColumn<QString>("bundleID");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("team");
    QTest::addColumn<std::optional<Product>>("expected");
    const std::optional<Product> none;

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
    QTest::newRow("codex") << "codex" << openai << std::optional(AgentProductCatalog::codexProcess());
    QTest::newRow("com.openai.codex, padded") << "\tCom.OpenAI.Codex " << openai
                                              << std::optional(AgentProductCatalog::codexProcess());
    QTest::newRow("claude code") << "com.anthropic.claude-code" << anthropic
                                 << std::optional(AgentProductCatalog::claudeCode());
    QTest::newRow("claude code, openai team") << "com.anthropic.claude-code" << openai << none;
    QTest::newRow("codex, anthropic team") << "codex" << anthropic << none;
    QTest::newRow("codex helper") << "codex-helper" << openai << none;
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
