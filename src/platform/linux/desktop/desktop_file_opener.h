#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace mornix {

// Opens a file with the desktop's opener (`command`: program and arguments, the file last; in
// production xdg-open) and reports whether it worked. The opener runs as a child of this process
// in a session of its own, with standard input and output on the null device; its exit is
// watched through a pidfd, never waited for on the main thread. `done` runs once on the main
// thread while `context` exists: an empty text when the opener exited 0, else why the file could
// not be opened (the program could not be started, it exited non-zero, or a signal ended it). An
// opener that stays running (some start the viewer in the foreground) has not failed and is left
// running when this process ends. Thread: main thread.
void openWithDesktopOpener(const QStringList &command, QObject *context, std::function<void(const QString &)> done);

// The user-facing reason for an opener's exit status (xdg-open's documented codes 1-4).
QString openerExitDescription(const QString &program, int exitCode);

}  // namespace mornix
