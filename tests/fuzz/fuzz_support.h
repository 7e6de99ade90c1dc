#pragma once

// Helpers for harnesses that run whole modes in-process: a private directory, bytes served as
// standard input, and standard output/error captured around one call. Header-only, so that a
// harness stays one source file in both builds (libFuzzer and the smoke driver).
// Thread: the harness thread only.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// Present when a sanitizer runtime is linked: where its reports go.
extern "C" __attribute__((weak)) void __sanitizer_set_report_fd(void *fd);

namespace mornix {

namespace fuzz_support {

inline void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// One application object for the whole run (event loops, QCoro's waitFor).
inline void ensureApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *application = new QCoreApplication(argc, argv);
    (void)application;
}

// A private directory under TMPDIR, removed when the process exits normally.
inline QString privateDirectory()
{
    static QTemporaryDir directory(QDir::tempPath() + QStringLiteral("/mornix-fuzz-XXXXXX"));
    check(directory.isValid(), "a private temporary directory");
    return directory.path();
}

inline int memoryFile(const QByteArray &bytes)
{
    const int fd = ::memfd_create("mornix-fuzz", MFD_CLOEXEC);
    check(fd >= 0, "memfd_create");
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        check(n > 0, "writing a memory file");
        done += n;
    }
    check(::lseek(fd, 0, SEEK_SET) == 0, "rewinding a memory file");
    return fd;
}

inline QByteArray contentsOf(int fd)
{
    QByteArray bytes;
    check(::lseek(fd, 0, SEEK_SET) == 0, "rewinding a memory file");
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        check(n >= 0, "reading a memory file");
        if (n == 0)
            return bytes;
        bytes.append(buffer, n);
    }
}

// Serves `bytes` as this process's standard input (descriptor 0) until the object dies.
class StandardInput {
public:
    explicit StandardInput(const QByteArray &bytes)
        : m_saved(::dup(STDIN_FILENO))
    {
        const int fd = memoryFile(bytes);
        check(::dup2(fd, STDIN_FILENO) == STDIN_FILENO, "dup2 onto standard input");
        ::close(fd);
    }
    ~StandardInput()
    {
        ::dup2(m_saved, STDIN_FILENO);
        ::close(m_saved);
    }
    StandardInput(const StandardInput &) = delete;
    StandardInput &operator=(const StandardInput &) = delete;

private:
    int m_saved;
};

// Captures what is written to descriptors 1 and 2 until finish(). Sanitizer reports are sent
// to a copy of the original standard error first, so a fault inside the capture still shows.
class CapturedOutput {
public:
    CapturedOutput()
    {
        static const bool reportsKept = [] {
            if (__sanitizer_set_report_fd)
                __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(::dup(STDERR_FILENO))));
            return true;
        }();
        (void)reportsKept;
        std::fflush(stdout);
        std::fflush(stderr);
        for (int i = 0; i < 2; ++i) {
            m_saved[i] = ::dup(i + 1);
            m_files[i] = memoryFile({});
            check(::dup2(m_files[i], i + 1) == i + 1, "dup2 onto standard output/error");
        }
    }
    ~CapturedOutput() { finish(); }
    CapturedOutput(const CapturedOutput &) = delete;
    CapturedOutput &operator=(const CapturedOutput &) = delete;

    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        std::fflush(stdout);
        std::fflush(stderr);
        for (int i = 0; i < 2; ++i) {
            ::dup2(m_saved[i], i + 1);
            ::close(m_saved[i]);
        }
        m_stdout = contentsOf(m_files[0]);
        m_stderr = contentsOf(m_files[1]);
        ::close(m_files[0]);
        ::close(m_files[1]);
    }
    const QByteArray &standardOutput() const { return m_stdout; }
    const QByteArray &standardError() const { return m_stderr; }

private:
    int m_saved[2] = {-1, -1};
    int m_files[2] = {-1, -1};
    bool m_finished = false;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

}  // namespace fuzz_support

}  // namespace mornix
