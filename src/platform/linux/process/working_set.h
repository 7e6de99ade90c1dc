#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace mornix {

// Start-up touches far more code and read-only data than a settled process keeps using (the
// loader's work, Qt's and OpenSSL's initialisation, the first scan). Those pages are clean
// copies of files and stay in the page cache: dropping them from this process's page tables
// costs nothing but a minor fault if one is needed again, and lets the resident set reflect
// what the process actually uses.
//
// Only the read-only segments of loaded programs and libraries are released, and of those only
// mappings that hold no page of this process's own: a page the loader relocated or a debugger
// patched exists nowhere else and would be lost. The objects are walked under the loader's
// lock, so none is unmapped (and its range reused) meanwhile. The heap's free memory goes back
// to the system too. Thread: any.
struct WorkingSetRelease {
    std::size_t residentBefore = 0;  // bytes
    std::size_t residentAfter = 0;
    int ranges = 0;  // address ranges given back
};
std::optional<WorkingSetRelease> releaseIdlePages();

// The process's resident set now, in bytes; nullopt when /proc cannot say.
std::optional<std::size_t> residentBytes();

namespace working_set {

// One mapping of /proc/PID/smaps, as far as the release needs it.
struct Mapping {
    std::size_t start = 0;
    std::size_t end = 0;
    bool writable = false;
    bool fileBacked = false;  // an inode and the path of a file that still exists
    std::size_t rssBytes = 0;
    std::size_t anonymousBytes = 0;  // pages of this process's own (copy-on-write)
    std::size_t pageBytes = 0;       // the kernel page size of the mapping
    bool special = false;            // device memory, locked, huge pages or user-fault handled

    bool releasable() const;
};
// The mappings of an smaps text; an entry that cannot be read is left out.
std::vector<Mapping> parseSmaps(std::string_view text);

}  // namespace working_set

}  // namespace mornix
