#pragma once

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <memory>
#include <vector>

namespace mornix {

// How the browser answers: the scripted-browser program follows the authorization to the
// loopback callback (with another state for wrongState); neverReturn opens nothing that answers,
// refuse cannot be opened.
enum class Browser { follow, wrongState, neverReturn, refuse };

// The browser the sign-in flows open, as `mode` says; each one records the callback's answer in
// a file under `directory`. Thread: main thread.
class ScriptedBrowser {
public:
    explicit ScriptedBrowser(QString directory)
        : m_directory(std::move(directory))
    {
    }

    bool open(const QUrl &url)
    {
        ++opened;
        if (mode == Browser::refuse || mode == Browser::neverReturn)
            return mode == Browser::neverReturn;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORNIX_DEV_PKI_DIR"), QStringLiteral(MORNIX_DEV_PKI_DIR));
        if (mode == Browser::wrongState)
            environment.insert(QStringLiteral("SCRIPTED_BROWSER_STATE"),
                               QStringLiteral("mornix_00000000-0000-0000-0000-000000000000"));
        m_pageFile = m_directory + QStringLiteral("/page-%1").arg(opened);
        environment.insert(QStringLiteral("SCRIPTED_BROWSER_PAGE"), m_pageFile);
        auto &browser = m_browsers.emplace_back(std::make_unique<QProcess>());
        browser->setProcessEnvironment(environment);
        browser->start(QStringLiteral(MORNIX_SOURCE_DIR "/tests/signin/scripted-browser"),
                       {url.toString(QUrl::FullyEncoded)});
        return true;
    }

    // The callback's answer that the last browser received, once it has finished.
    QByteArray page()
    {
        for (const auto &browser : m_browsers)
            browser->waitForFinished(40000);
        QFile file(m_pageFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Every browser opened has ended (waiting for it); forgets them.
    bool allFinished()
    {
        bool finished = true;
        for (const auto &browser : m_browsers)
            finished = finished && (browser->state() == QProcess::NotRunning || browser->waitForFinished(40000));
        m_browsers.clear();
        return finished;
    }

    void reset()
    {
        mode = Browser::follow;
        opened = 0;
        m_pageFile.clear();
    }

    Browser mode = Browser::follow;
    int opened = 0;

private:
    QString m_directory;
    std::vector<std::unique_ptr<QProcess>> m_browsers;
    QString m_pageFile;  // where the last browser records the callback's answer
};

}  // namespace mornix
