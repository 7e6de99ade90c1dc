#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

namespace mornix {

// A private home for one test: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME and TMPDIR
// point into a fresh temporary directory while the object lives (restored afterwards), so
// keychain files, logs, locks and settings never touch the real user's.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome &) = delete;
    TemporaryHome &operator=(const TemporaryHome &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString dataHome() const;  // $XDG_DATA_HOME
    // The process environment for child processes that should share this home.
    QProcessEnvironment environment() const;

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_saved;
};

}  // namespace mornix
