#include "platform/linux/process/working_set.h"

#include "platform/posix_files.h"

#include <QByteArray>

#include <algorithm>
#include <charconv>

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace mornix {

namespace {

std::string_view nextLine(std::string_view &text)
{
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

std::string_view nextWord(std::string_view &text)
{
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(begin);
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

bool parseNumber(std::string_view text, std::size_t &value, int base = 10)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

namespace working_set {

namespace {

// "start-end perms offset dev inode [path]"; false for an attribute line ("Rss:  12 kB").
bool parseHeader(std::string_view line, Mapping &mapping)
{
    std::string_view rest = line;
    const std::string_view range = nextWord(rest);
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos || !parseNumber(range.substr(0, dash), mapping.start, 16)
        || !parseNumber(range.substr(dash + 1), mapping.end, 16))
        return false;
    const std::string_view perms = nextWord(rest);
    nextWord(rest);  // offset
    nextWord(rest);  // device
    std::size_t inode = 0;
    if (perms.size() != 4 || !parseNumber(nextWord(rest), inode))
        return false;
    const std::size_t pathStart = rest.find_first_not_of(' ');
    const std::string_view path = pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart);
    constexpr std::string_view deleted = " (deleted)";
    const bool gone = path.size() >= deleted.size() && path.substr(path.size() - deleted.size()) == deleted;
    mapping.writable = perms[1] == 'w';
    mapping.fileBacked = inode != 0 && path.starts_with('/') && !path.starts_with("/dev/") && !gone;
    return true;
}

void parseAttribute(std::string_view line, Mapping &mapping)
{
    std::string_view rest = line;
    const std::string_view key = nextWord(rest);
    if (key == "VmFlags:") {
        // io/pf: device memory; lo: locked; ht: huge pages; um/uw: a user-fault handler's.
        for (std::string_view flag = nextWord(rest); !flag.empty(); flag = nextWord(rest)) {
            if (flag == "io" || flag == "pf" || flag == "lo" || flag == "ht" || flag == "um" || flag == "uw")
                mapping.special = true;
        }
        return;
    }
    std::size_t kilobytes = 0;
    if (!parseNumber(nextWord(rest), kilobytes))
        return;
    if (key == "Rss:")
        mapping.rssBytes = kilobytes * 1024;
    else if (key == "Anonymous:")
        mapping.anonymousBytes = kilobytes * 1024;
    else if (key == "KernelPageSize:")
        mapping.pageBytes = kilobytes * 1024;
    else if ((key == "Shared_Hugetlb:" || key == "Private_Hugetlb:") && kilobytes != 0)
        mapping.special = true;
}

}  // namespace

bool Mapping::releasable() const
{
    return !writable && fileBacked && !special && rssBytes > 0 && anonymousBytes == 0
           && pageBytes == static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::vector<Mapping> parseSmaps(std::string_view text)
{
    std::vector<Mapping> mappings;
    bool current = false;
    while (!text.empty()) {
        const std::string_view line = nextLine(text);
        Mapping header;
        if (parseHeader(line, header)) {
            mappings.push_back(header);
            current = true;
        } else if (current) {
            parseAttribute(line, mappings.back());
        }
    }
    return mappings;
}

}  // namespace working_set

namespace {

struct Range {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
};

// The read-only segments of every loaded object, in whole pages, less the part made read-only
// after relocation (RELRO). A page a segment shares with a writable neighbour belongs to the
// neighbour's mapping, which is never released.
int collectReadOnlySegments(dl_phdr_info *info, size_t, void *data)
{
    auto &ranges = *static_cast<std::vector<Range> *>(data);
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto down = [page](std::uintptr_t address) { return address & ~(page - 1); };
    const auto up = [page](std::uintptr_t address) { return (address + page - 1) & ~(page - 1); };
    Range relro;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_GNU_RELRO)
            relro = {down(info->dlpi_addr + segment.p_vaddr), up(info->dlpi_addr + segment.p_vaddr + segment.p_memsz)};
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W))
            continue;
        const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        const Range range{down(begin), up(begin + std::min(segment.p_filesz, segment.p_memsz))};
        if (range.end <= relro.start || range.start >= relro.end) {
            ranges.push_back(range);
            continue;
        }
        if (range.start < relro.start)
            ranges.push_back({range.start, relro.start});
        if (range.end > relro.end)
            ranges.push_back({relro.end, range.end});
    }
    return 0;
}

// A file of /proc/self, whole. The cap only guards against a runaway read: smaps of a large
// process is a few megabytes.
std::optional<QByteArray> readProcSelf(const char *name)
{
    const posix::UniqueFd fd(open(name, O_RDONLY | O_CLOEXEC));
    QByteArray text;
    if (!fd.isValid() || !posix::readAll(fd.get(), qint64(64) << 20, &text))
        return std::nullopt;
    return text;
}

std::string_view viewOf(const QByteArray &text)
{
    return std::string_view(text.constData(), static_cast<std::size_t>(text.size()));
}

struct ReleaseRun {
    bool done = false;
    bool failed = false;
    int ranges = 0;
};

// Runs once, for the first object the loader reports: from here until it returns the loader's
// lock is held (it is recursive, so the inner walk may take it again), and no object can be
// unmapped between reading the mappings and giving pages back.
int releaseUnderLoaderLock(dl_phdr_info *, size_t, void *data)
{
    auto &run = *static_cast<ReleaseRun *>(data);
    if (run.done)
        return 1;
    run.done = true;
    std::vector<Range> segments;
    dl_iterate_phdr(collectReadOnlySegments, &segments);
    const std::optional<QByteArray> smaps = readProcSelf("/proc/self/smaps");
    if (!smaps) {
        run.failed = true;
        return 1;
    }
    for (const working_set::Mapping &mapping : working_set::parseSmaps(viewOf(*smaps))) {
        if (!mapping.releasable())
            continue;
        for (const Range &segment : segments) {
            const std::uintptr_t start = std::max<std::uintptr_t>(segment.start, mapping.start);
            const std::uintptr_t end = std::min<std::uintptr_t>(segment.end, mapping.end);
            if (end > start && madvise(reinterpret_cast<void *>(start), end - start, MADV_DONTNEED) == 0)
                ++run.ranges;
        }
    }
    return 1;
}

}  // namespace

std::optional<std::size_t> residentBytes()
{
    // "size resident shared text lib data dt", in pages.
    const std::optional<QByteArray> statm = readProcSelf("/proc/self/statm");
    if (!statm)
        return std::nullopt;
    std::string_view rest = viewOf(*statm);
    nextWord(rest);
    std::size_t pages = 0;
    std::string_view resident = nextWord(rest);
    if (!parseNumber(resident, pages))
        return std::nullopt;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::optional<WorkingSetRelease> releaseIdlePages()
{
    WorkingSetRelease release;
    release.residentBefore = residentBytes().value_or(0);
    malloc_trim(0);
    ReleaseRun run;
    dl_iterate_phdr(releaseUnderLoaderLock, &run);
    if (!run.done || run.failed)
        return std::nullopt;
    release.ranges = run.ranges;
    release.residentAfter = residentBytes().value_or(0);
    return release;
}

}  // namespace mornix
