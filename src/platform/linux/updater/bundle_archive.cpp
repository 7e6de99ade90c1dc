#include "platform/linux/updater/bundle_archive.h"

#include "platform/linux/updater/archive_module.h"
#include "platform/posix_files.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace mornix {

namespace bundle_archive {

ModuleSpec moduleSpec()
{
    return {archive_module::kModulePath, archive_module::kModuleEntry, archive_module::kModuleInterfaceVersion,
            "the archive module"};
}

Result extract(PlatformModules &modules, int archiveFd, int destinationFd, const Limits &limits,
               const std::function<void(int entries)> &afterEntry)
{
    Result result;
    QString problem;
    const auto *functions = static_cast<const archive_module::Functions *>(modules.table(moduleSpec(), &problem));
    if (!functions) {
        result.moduleUnusable = true;
        result.error = problem;
        return result;
    }
    const archive_module::Limits moduleLimits{limits.maxTotalBytes, limits.maxEntryBytes, limits.maxEntries};
    archive_module::Outcome outcome;
    const auto relay = [](void *context, int entries) {
        (*static_cast<const std::function<void(int)> *>(context))(entries);
    };
    functions->extract(archiveFd, destinationFd, moduleLimits, afterEntry ? +relay : nullptr,
                       const_cast<std::function<void(int)> *>(&afterEntry), outcome);
    result.ok = outcome.ok;
    result.error = QString::fromStdString(outcome.error);
    result.bundleName = QString::fromStdString(outcome.bundleName);
    result.format = QString::fromStdString(outcome.format);
    return result;
}

namespace {

bool removeTreeRaw(int parentFd, const std::string &leaf)
{
    struct stat info {};
    if (::fstatat(parentFd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(parentFd, leaf.c_str(), 0) == 0;
    posix::UniqueFd fd(::openat(parentFd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid())
        return false;
    DIR *dir = ::fdopendir(fd.get());
    if (!dir)
        return false;
    fd.release();  // the stream owns it now
    std::vector<std::string> children;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            children.emplace_back(entry->d_name);
    }
    bool ok = true;
    for (const std::string &child : children)
        ok = removeTreeRaw(::dirfd(dir), child) && ok;
    ::closedir(dir);
    return ::unlinkat(parentFd, leaf.c_str(), AT_REMOVEDIR) == 0 && ok;
}

}  // namespace

bool removeTree(int parentFd, const QString &name)
{
    return removeTreeRaw(parentFd, QFile::encodeName(name).toStdString());
}

}  // namespace bundle_archive

}  // namespace mornix
