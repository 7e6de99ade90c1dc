#include "discovery/agent_product_catalog.h"

#include <QTest>

namespace mornix {

namespace {

const QString anthropic = QStringLiteral("Q6L2SF6YDW");
const QString openai = QStringLiteral("2DC432GLL2");

// "key/kind/appKey: label" of a product, written out in the rows below so that a wrong label,
// family or kind is caught whatever table the catalog is built from; empty for none.
QString describe(const std::optional<AgentProductCatalog::Product> &product)
{
    return product
               ? product->key + u'/' + product->kind + u'/' + product->appKey + QStringLiteral(": ") + product->label
               : QString();
}

const QString claudeDesktop = QStringLiteral("claude-desktop/application/claude: Claude Desktop");
const QString chatGPT = QStringLiteral("chatgpt/application/chatgpt: ChatGPT");
const QString codexApp = QStringLiteral("codex/application/codex: Codex");

}  // namespace

// Which signed application or process is which product, by bundle or signing identifier, name
// and team. (The kill targets' bundle sets are checked where commands are validated.)
class CatalogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void applicationProduct_data()
    {
        QTest::addColumn<QString>("bundleID");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("team");
        QTest::addColumn<QString>("expected");
        QTest::newRow("claude, blanks and case") << " COM.Anthropic.Claude\n"
                                                 << "anything" << anthropic << claudeDesktop;
        QTest::newRow("claude, team in lower case") << " COM.Anthropic.Claude\n"
                                                    << "anything" << anthropic.toLower() << "";
        QTest::newRow("claude for desktop") << "com.anthropic.claudefordesktop"
                                            << "" << anthropic << claudeDesktop;
        QTest::newRow("claudedesktop") << "com.anthropic.claudedesktop"
                                       << "" << anthropic << claudeDesktop;
        QTest::newRow("anthropic team, other bundle") << "com.openai.chatgpt"
                                                      << "ChatGPT" << anthropic << "";
        QTest::newRow("claude id, openai team") << "com.anthropic.claude"
                                                << "Claude" << openai << "";
        QTest::newRow("codex named Codex") << "com.openai.codex"
                                           << "Codex" << openai << codexApp;
        QTest::newRow("codex named ChatGPT") << "com.openai.codex"
                                             << "ChatGPT" << openai << chatGPT;
        QTest::newRow("codex named Helper") << "com.openai.codex"
                                            << "Helper" << openai << chatGPT;
        QTest::newRow("chatgpt id") << "com.openai.chatgpt"
                                    << "" << openai << chatGPT;
        QTest::newRow("chat id") << "com.openai.chat"
                                 << "" << openai << chatGPT;
        QTest::newRow("foreign id named ChatGPT") << "org.example.wrapper"
                                                  << "My CHATGPT app" << openai << chatGPT;
        QTest::newRow("foreign id, openai team") << "org.example.wrapper"
                                                 << "Codex" << openai << "";
        QTest::newRow("foreign team") << "com.openai.chatgpt"
                                      << "ChatGPT"
                                      << "ZX9F0RE1GN"
                                      << "";
        QTest::newRow("no team") << "com.openai.chatgpt"
                                 << "ChatGPT"
                                 << ""
                                 << "";
        QTest::newRow("prefix is no match") << "com.anthropic.claude.helper"
                                            << "Claude" << anthropic << "";
    }
    void applicationProduct()
    {
        QFETCH(QString, bundleID);
        QFETCH(QString, name);
        QFETCH(QString, team);
        QFETCH(QString, expected);
        QCOMPARE(describe(AgentProductCatalog::applicationProduct(bundleID, name, team)), expected);
    }

    void processProduct_data()
    {
        QTest::addColumn<QString>("signingID");
        QTest::addColumn<QString>("team");
        QTest::addColumn<QString>("expected");
        const QString codex = QStringLiteral("codex/process/codex: Codex");
        QTest::newRow("codex") << "codex" << openai << codex;
        QTest::newRow("com.openai.codex, padded") << "\tCom.OpenAI.Codex " << openai << codex;
        QTest::newRow("claude code") << "com.anthropic.claude-code" << anthropic
                                     << QStringLiteral("claude-code/process/claude: Claude Code");
        QTest::newRow("claude code, openai team") << "com.anthropic.claude-code" << openai << "";
        QTest::newRow("codex, anthropic team") << "codex" << anthropic << "";
        QTest::newRow("codex helper") << "codex-helper" << openai << "";
    }
    void processProduct()
    {
        QFETCH(QString, signingID);
        QFETCH(QString, team);
        QFETCH(QString, expected);
        QCOMPARE(describe(AgentProductCatalog::processProduct(signingID, team)), expected);
    }
};

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::CatalogsTest)
#include "tst_catalogs.moc"
