#pragma once

// Plain C++ front of libsecret: keeps GLib's headers and types out of every other file.
#include <map>
#include <string>

namespace mornix {

namespace secret_service {

using Attributes = std::map<std::string, std::string>;

enum class Result { ok, notFound, locked, unavailable, failed };

// True when the session bus is reachable and offers org.freedesktop.secrets (running or
// activatable). Connects to the session bus; blocking.
bool available();
// True when some process currently owns org.freedesktop.secrets on the session bus.
bool running();

// All calls are synchronous (libsecret runs its own main context) and thread-safe.
// Items are matched by exactly these attributes in any collection.
Result lookup(const Attributes &attributes, std::string &secret, std::string &error);
// Stores a new item in the default collection; replaces an item with equal attributes.
Result store(const Attributes &attributes, const std::string &label, const std::string &secret, std::string &error);
// Replaces the secret of the first matching item; notFound when there is none.
Result replaceSecret(const Attributes &attributes, const std::string &secret, std::string &error);
// Deletes every matching item; notFound when there was none.
Result remove(const Attributes &attributes, std::string &error);

}  // namespace secret_service

}  // namespace mornix
