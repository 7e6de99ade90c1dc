#pragma once

#include <QUrl>

// Asks the user's default web browser to open a URL. Thread: main thread.
class URLOpener {
public:
    virtual ~URLOpener() = default;
    // True when a browser could be asked to open the URL (the request was handed over); this
    // says nothing about what the browser did with it.
    virtual bool openURL(const QUrl &url) = 0;
};
