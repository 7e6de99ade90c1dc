#pragma once

// Plain C++ front of libsecret: keeps GLib's headers and types out of every other file. libsecret
// itself lives in the bundle's module libmornix_secret_service.so, loaded on the first call, so
// a process that never uses the Secret Service never maps GLib's object and I/O libraries.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace mornix {

class PlatformModules;

namespace secret_service {

using Attributes = std::map<std::string, std::string>;

enum class Result { ok, notFound, locked, unavailable, failed };

// The module's operations (the meaning of each is Client's).
struct Functions {
    bool (*available)();
    bool (*running)();
    Result (*lookup)(const Attributes &attributes, std::string &secret, std::string &error);
    Result (*store)(const Attributes &attributes, const std::string &label, const std::string &secret,
                    std::string &error);
    Result (*replaceSecret)(const Attributes &attributes, const std::string &secret, std::string &error);
    Result (*remove)(const Attributes &attributes, std::string &error);
};

inline constexpr const char *kModulePath = "Contents/PlugIns/libmornix_secret_service.so";
inline constexpr const char *kModuleEntry = "mornix_secret_service_module";
inline constexpr uint32_t kModuleInterfaceVersion = 1;

// Thread: any. Copies share the module. When the module cannot be used (missing, not the one
// the bundle was sealed with), the Secret Service counts as absent: available() and running()
// are false and every call is `unavailable`, saying why.
class Client {
public:
    explicit Client(std::shared_ptr<PlatformModules> modules);

    // True when the module can be used; otherwise false with `problem` naming the module and why
    // ("the Secret Service module cannot be used: ..."). Loads the module on first use.
    bool usable(std::string &problem) const;

    // True when the session bus is reachable and offers org.freedesktop.secrets (running or
    // activatable). Connects to the session bus; blocking.
    bool available() const;
    // True when some process currently owns org.freedesktop.secrets on the session bus.
    bool running() const;

    // All calls are synchronous (libsecret runs its own main context).
    // Items are matched by exactly these attributes in any collection.
    Result lookup(const Attributes &attributes, std::string &secret, std::string &error) const;
    // Stores a new item in the default collection; replaces an item with equal attributes.
    Result store(const Attributes &attributes, const std::string &label, const std::string &secret,
                 std::string &error) const;
    // Replaces the secret of the first matching item; notFound when there is none.
    Result replaceSecret(const Attributes &attributes, const std::string &secret, std::string &error) const;
    // Deletes every matching item; notFound when there was none.
    Result remove(const Attributes &attributes, std::string &error) const;

private:
    // Null with `error` set when the module cannot be used.
    const Functions *functions(std::string &error) const;

    std::shared_ptr<PlatformModules> m_modules;
};

}  // namespace secret_service

}  // namespace mornix
