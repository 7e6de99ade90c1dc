// Fuzz harness: update archives (tar, tar.gz, tar.xz, zip) as the libarchive extractor sees
// them after their signature verified. Invariants: nothing is ever created beside the
// destination directory; what is created inside it is only directories, regular files with one
// link and no set-id or group/other write bits, and symbolic links that are relative and never
// climb above the destination; and it can all be removed again.
#include "platform/linux/updater/archive_module.h"
#include "platform/linux/updater/bundle_archive.h"

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

// The tree under `path` (depth `depth` below the destination) holds only what the extractor may make.
void checkTree(const std::string &path, int depth)
{
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        std::abort();
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const std::string child = path + "/" + entry->d_name;
        struct stat info {};
        if (::lstat(child.c_str(), &info) != 0)
            std::abort();
        if (S_ISDIR(info.st_mode)) {
            checkTree(child, depth + 1);
        } else if (S_ISREG(info.st_mode)) {
            if (info.st_nlink != 1 || (info.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH)))
                std::abort();
        } else if (S_ISLNK(info.st_mode)) {
            char target[4096];
            const ssize_t length = ::readlink(child.c_str(), target, sizeof target - 1);
            if (length <= 0 || target[0] == '/')
                std::abort();
            // Followed component by component, it never climbs above the destination.
            int level = depth;
            const std::string text(target, static_cast<size_t>(length));
            for (size_t start = 0; start <= text.size();) {
                size_t end = text.find('/', start);
                if (end == std::string::npos)
                    end = text.size();
                const std::string part = text.substr(start, end - start);
                level += part == ".." ? -1 : (part.empty() || part == "." ? 0 : 1);
                if (level < 0)
                    std::abort();
                start = end + 1;
            }
        } else {
            std::abort();  // a device, a pipe, a socket
        }
    }
    ::closedir(dir);
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
    // The module's extraction, linked in directly.
    const archive_module::Limits limits{1 << 20, 1 << 19, 64};
    archive_module::Outcome outcome;
    archive_module::extract(archive, out, limits, nullptr, nullptr, outcome);
    ::close(out);
    ::close(archive);

    if (entryCount(root) != 1)  // only "out"
        std::abort();
    checkTree(destination, 0);
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!bundle_archive::removeTree(rootFd, QStringLiteral("out")))
        std::abort();
    ::close(rootFd);
    return 0;
}
