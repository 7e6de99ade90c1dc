#pragma once

#include "platform/url_opener.h"

#include <QStringList>

// Opens URLs the way command-line programs on this platform do: each entry of $BROWSER in turn
// (colon-separated commands, words split as a shell would with double quotes; "%s" stands for
// the URL, otherwise it is the last argument), then
// xdg-open. A command counts when its process could be started; it runs detached.
class BrowserURLOpener final : public URLOpener {
public:
    bool openURL(const QUrl &url) override;

    // The commands to try for a URL, each as program and arguments (for tests).
    static QList<QStringList> candidateCommands(const QString &browserVariable, const QString &url);
};
