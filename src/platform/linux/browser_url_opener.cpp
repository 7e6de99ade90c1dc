#include "platform/linux/browser_url_opener.h"

#include <QProcess>

QList<QStringList> BrowserURLOpener::candidateCommands(const QString &browserVariable, const QString &url)
{
    QList<QStringList> commands;
    for (const QString &entry : browserVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QStringList words = QProcess::splitCommand(entry);
        if (words.isEmpty())
            continue;
        bool substituted = false;
        for (QString &word : words) {
            if (word.contains(QLatin1String("%s"))) {
                word.replace(QLatin1String("%s"), url);
                substituted = true;
            }
        }
        if (!substituted)
            words.append(url);
        commands.append(words);
    }
    commands.append({QStringLiteral("xdg-open"), url});
    return commands;
}

bool BrowserURLOpener::openURL(const QUrl &url)
{
    const QString text = url.toString(QUrl::FullyEncoded);
    for (QStringList command : candidateCommands(qEnvironmentVariable("BROWSER"), text)) {
        const QString program = command.takeFirst();
        if (QProcess::startDetached(program, command))
            return true;
    }
    return false;
}
