// Fuzz harness: update archives (tar) as the extractor sees them after their signature
// verified. Invariants: nothing is ever created beside the destination directory, and what
// was created can be removed again.
#include "platform/linux/bundle_archive.h"

#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

// Names inside a directory, "." and ".." aside.
int entryCount(const std::string &path)
{
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        std::abort();
    int count = 0;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string root = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-update-archive-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        static std::string removeAtExit;
        removeAtExit = pattern;
        std::atexit([] { ::rmdir(removeAtExit.c_str()); });
        return pattern;
    }();
    const std::string destination = root + "/out";
    if (::mkdir(destination.c_str(), 0700) != 0)
        std::abort();

    const int archive = ::memfd_create("archive", MFD_CLOEXEC);
    if (archive < 0 || ::write(archive, data, size) != static_cast<ssize_t>(size) || ::lseek(archive, 0, SEEK_SET) != 0)
        std::abort();
    const int out = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bundle_archive::Limits limits;
    limits.maxTotalBytes = 1 << 20;
    limits.maxEntries = 64;
    (void)bundle_archive::extract(archive, out, limits);
    ::close(out);
    ::close(archive);

    if (entryCount(root) != 1)  // only "out"
        std::abort();
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!bundle_archive::removeTree(rootFd, QStringLiteral("out")))
        std::abort();
    ::close(rootFd);
    return 0;
}
