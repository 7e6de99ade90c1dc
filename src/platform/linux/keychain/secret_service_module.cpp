// The Secret Service module (libmornix_secret_service.so): libsecret behind the table of
// secret_service_client.h. Built with hidden symbols: nothing here binds to the executable's
// names, and only the entry is exported.
#include "platform/linux/keychain/secret_service_client.h"

#include <libsecret/secret.h>

#include <memory>

namespace mornix {

namespace secret_service {
namespace {

// Items are ours but found by attributes alone, so that other clients (secret-tool) can see
// and write the same items.
const SecretSchema *schema()
{
    static const SecretSchema s = {
        "ai.veltro.mornix.Keychain",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"class", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"tag", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &s;
}

struct HashTableDeleter {
    void operator()(GHashTable *t) const { g_hash_table_unref(t); }
};
using HashTablePtr = std::unique_ptr<GHashTable, HashTableDeleter>;

HashTablePtr toTable(const Attributes &attributes)
{
    GHashTable *table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    for (const auto &[key, value] : attributes)
        g_hash_table_insert(table, g_strdup(key.c_str()), g_strdup(value.c_str()));
    return HashTablePtr(table);
}

Result fromError(GError *error, std::string &text)
{
    text = error ? error->message : "unknown Secret Service error";
    Result result = Result::failed;
    if (error && error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
        result = Result::locked;
    else if (error && error->domain == G_DBUS_ERROR)
        result = Result::unavailable;
    if (error)
        g_error_free(error);
    return result;
}

struct ServiceDeleter {
    void operator()(SecretService *s) const { g_object_unref(s); }
};

std::unique_ptr<SecretService, ServiceDeleter> service(std::string &error, Result &result)
{
    GError *gerror = nullptr;
    SecretService *s = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
    if (!s)
        result = fromError(gerror, error);
    return std::unique_ptr<SecretService, ServiceDeleter>(s);
}

// Matching items, unlocked, with their secrets loaded. Caller frees the list.
Result search(const Attributes &attributes, GList *&items, std::string &error, bool loadSecrets)
{
    Result result = Result::ok;
    auto s = service(error, result);
    if (!s)
        return result;
    GError *gerror = nullptr;
    const int flags = SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    items = secret_service_search_sync(s.get(), schema(), toTable(attributes).get(),
                                       static_cast<SecretSearchFlags>(flags), nullptr, &gerror);
    if (gerror)
        return fromError(gerror, error);
    return items ? Result::ok : Result::notFound;
}

void freeItems(GList *items)
{
    g_list_free_full(items, g_object_unref);
}

bool queryBus(bool activatableCounts)
{
    GError *error = nullptr;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    bool found = false;
    for (const char *method : {"NameHasOwner", "ListActivatableNames"}) {
        if (!activatableCounts && std::string(method) != "NameHasOwner")
            continue;
        const bool hasOwner = std::string(method) == "NameHasOwner";
        GVariant *reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
            hasOwner ? g_variant_new("(s)", "org.freedesktop.secrets") : nullptr,
            hasOwner ? G_VARIANT_TYPE("(b)") : G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
        if (!reply) {
            g_clear_error(&error);
            continue;
        }
        if (hasOwner) {
            gboolean owned = FALSE;
            g_variant_get(reply, "(b)", &owned);
            found = owned;
        } else {
            GVariantIter *iter = nullptr;
            const char *name = nullptr;
            g_variant_get(reply, "(as)", &iter);
            while (g_variant_iter_loop(iter, "&s", &name))
                if (std::string(name) == "org.freedesktop.secrets")
                    found = true;
            g_variant_iter_free(iter);
        }
        g_variant_unref(reply);
        if (found)
            break;
    }
    g_object_unref(bus);
    return found;
}

bool available()
{
    return queryBus(true);
}

bool running()
{
    return queryBus(false);
}

Result lookup(const Attributes &attributes, std::string &secret, std::string &error)
{
    GList *items = nullptr;
    const Result result = search(attributes, items, error, true);
    if (result != Result::ok)
        return result;
    SecretValue *value = secret_item_get_secret(SECRET_ITEM(items->data));
    Result out = Result::ok;
    if (!value) {
        error = "item secret could not be loaded";
        out = Result::locked;
    } else {
        gsize length = 0;
        const gchar *bytes = secret_value_get(value, &length);
        secret.assign(bytes, length);
        secret_value_unref(value);
    }
    freeItems(items);
    return out;
}

Result store(const Attributes &attributes, const std::string &label, const std::string &secret, std::string &error)
{
    Result result = Result::ok;
    auto s = service(error, result);
    if (!s)
        return result;
    SecretValue *value =
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "application/octet-stream");
    GError *gerror = nullptr;
    const gboolean ok = secret_service_store_sync(s.get(), schema(), toTable(attributes).get(),
                                                  SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr, &gerror);
    secret_value_unref(value);
    if (!ok)
        return fromError(gerror, error);
    return Result::ok;
}

Result replaceSecret(const Attributes &attributes, const std::string &secret, std::string &error)
{
    GList *items = nullptr;
    const Result result = search(attributes, items, error, false);
    if (result != Result::ok)
        return result;
    SecretValue *value =
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "application/octet-stream");
    GError *gerror = nullptr;
    const gboolean ok = secret_item_set_secret_sync(SECRET_ITEM(items->data), value, nullptr, &gerror);
    secret_value_unref(value);
    freeItems(items);
    if (!ok)
        return fromError(gerror, error);
    return Result::ok;
}

Result remove(const Attributes &attributes, std::string &error)
{
    GList *items = nullptr;
    const Result result = search(attributes, items, error, false);
    if (result != Result::ok)
        return result;
    Result out = Result::ok;
    for (GList *l = items; l; l = l->next) {
        GError *gerror = nullptr;
        if (!secret_item_delete_sync(SECRET_ITEM(l->data), nullptr, &gerror)) {
            out = fromError(gerror, error);
            break;
        }
    }
    freeItems(items);
    return out;
}

constexpr Functions kFunctions = {available, running, lookup, store, replaceSecret, remove};

}  // namespace
}  // namespace secret_service
}  // namespace mornix

extern "C" __attribute__((visibility("default"))) const void *mornix_secret_service_module(uint32_t interfaceVersion)
{
    using namespace mornix::secret_service;
    return interfaceVersion == kModuleInterfaceVersion ? &kFunctions : nullptr;
}
