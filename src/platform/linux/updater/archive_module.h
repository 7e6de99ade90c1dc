#pragma once

// The table of the bundle's archive module (libmornix_archive.so), which alone links libarchive
// and, through it, its compression libraries: only the updater, when it unpacks a verified
// archive, maps them. The front is bundle_archive::extract (bundle_archive.h).
#include <cstdint>
#include <string>

namespace mornix {

namespace archive_module {

struct Limits {
    int64_t maxTotalBytes;
    int64_t maxEntryBytes;
    int32_t maxEntries;
};

struct Outcome {
    bool ok = false;
    std::string error;       // UTF-8; why the archive was refused
    std::string bundleName;  // UTF-8; "X.app"
    std::string format;      // "tar", "tar.gz", "tar.xz", "zip"; empty if unknown
};

// Called after each entry is written, on the extractor's own thread; context as given.
using AfterEntry = void (*)(void *context, int entries);

struct Functions {
    // bundle_archive::extract's contract. afterEntry may be null. Blocks.
    void (*extract)(int archiveFd, int destinationFd, const Limits &limits, AfterEntry afterEntry, void *context,
                    Outcome &outcome);
};

inline constexpr const char *kModulePath = "Contents/PlugIns/libmornix_archive.so";
inline constexpr const char *kModuleEntry = "mornix_archive_module";
inline constexpr uint32_t kModuleInterfaceVersion = 1;

// The module's extraction itself, for code that links the module's objects directly (the fuzz
// harness); everything else goes through the table.
void extract(int archiveFd, int destinationFd, const Limits &limits, AfterEntry afterEntry, void *context,
             Outcome &outcome);

}  // namespace archive_module

}  // namespace mornix
