#pragma once

#include <QProcess>
#include <QString>

namespace mornix {

// An Xvfb server on a free, randomly chosen display number, stopped when dropped.
class VirtualDisplay {
public:
    VirtualDisplay() = default;
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    // Starts the server with one screen of `size` ("WxHxD") and waits until it accepts clients.
    bool start(const QString &size = QStringLiteral("1280x800x24"));
    QString display() const { return m_display; }

    // Runs xdotool against this display (input, window search); true when it exits 0.
    bool xdotool(const QStringList &arguments, QByteArray *output = nullptr) const;
    // Whether a mapped window's title matches the regular expression `title`.
    bool hasWindow(const QString &title) const;

private:
    QProcess m_server;
    QString m_display;
};

}  // namespace mornix
