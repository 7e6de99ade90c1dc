#include "state.h"

#include "faults.h"
#include "tokens.h"
#include "util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace mornix {

namespace devservice {

namespace {

const char *const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS user_tokens (
  token_hash TEXT PRIMARY KEY, source TEXT NOT NULL, user_id TEXT NOT NULL,
  created_at INTEGER NOT NULL, expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS refresh_tokens (
  token_hash TEXT PRIMARY KEY, kind TEXT NOT NULL, client_id TEXT, user_id TEXT NOT NULL,
  created_at INTEGER NOT NULL, expires_at INTEGER NOT NULL, revoked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS auth_codes (
  code_hash TEXT PRIMARY KEY, client_id TEXT NOT NULL, redirect_uri TEXT NOT NULL,
  code_challenge TEXT NOT NULL, scope TEXT NOT NULL, user_id TEXT NOT NULL,
  expires_at INTEGER NOT NULL, used INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS challenges (
  id TEXT PRIMARY KEY, kind TEXT NOT NULL, nonce TEXT NOT NULL, expires_at INTEGER NOT NULL,
  hardware_serial_number TEXT NOT NULL, hardware_uuid TEXT NOT NULL, user_id TEXT,
  invite_code TEXT, human_claim_name TEXT, used INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS request_nonces (
  scope TEXT NOT NULL, nonce TEXT NOT NULL, seen_at INTEGER NOT NULL, PRIMARY KEY (scope, nonce));
CREATE INDEX IF NOT EXISTS request_nonces_by_time ON request_nonces (seen_at);
CREATE TABLE IF NOT EXISTS devices (
  id TEXT PRIMARY KEY, org_id TEXT NOT NULL, project_id TEXT NOT NULL, device_name TEXT NOT NULL,
  hardware_serial_number TEXT NOT NULL, hardware_uuid TEXT NOT NULL, public_key_pem TEXT NOT NULL,
  token_hash TEXT UNIQUE NOT NULL, secret_hash TEXT NOT NULL, auth_kind TEXT NOT NULL,
  claim_id TEXT, created_at INTEGER NOT NULL, first_seen_at INTEGER, last_seen_at INTEGER);
CREATE TABLE IF NOT EXISTS invites (
  code TEXT PRIMARY KEY, org_id TEXT NOT NULL, project_id TEXT NOT NULL,
  created_at INTEGER NOT NULL, expires_at INTEGER NOT NULL, claim_id TEXT);
CREATE TABLE IF NOT EXISTS claims (
  id TEXT PRIMARY KEY, invite_code TEXT NOT NULL, org_id TEXT NOT NULL, project_id TEXT NOT NULL,
  hardware_serial_number TEXT NOT NULL, hardware_uuid TEXT NOT NULL, requested_device_name TEXT,
  human_claim_name TEXT, public_key_pem TEXT NOT NULL, status TEXT NOT NULL,
  created_at INTEGER NOT NULL, decided_at INTEGER, device_id TEXT);
CREATE TABLE IF NOT EXISTS commands (
  seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT UNIQUE NOT NULL, device_id TEXT NOT NULL,
  body TEXT NOT NULL, created_at INTEGER NOT NULL, delivered_at INTEGER,
  delivery_count INTEGER NOT NULL DEFAULT 0, acked INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS commands_by_device ON commands (device_id, acked, seq);
CREATE TABLE IF NOT EXISTS acks (
  seq INTEGER PRIMARY KEY AUTOINCREMENT, command_id TEXT NOT NULL, device_id TEXT NOT NULL,
  status TEXT NOT NULL, message TEXT NOT NULL, payload TEXT NOT NULL, idempotency_key TEXT NOT NULL,
  body_hash TEXT NOT NULL, received_at INTEGER NOT NULL, UNIQUE (command_id, idempotency_key));
CREATE TABLE IF NOT EXISTS inventory_reports (
  seq INTEGER PRIMARY KEY AUTOINCREMENT, device_id TEXT NOT NULL, reported_at INTEGER NOT NULL,
  instances TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS faults (
  endpoint TEXT PRIMARY KEY, status INTEGER NOT NULL, remaining INTEGER NOT NULL,
  delay_ms INTEGER NOT NULL, malformed INTEGER NOT NULL);
)SQL";

void makePrivateDirectory(const std::string &path)
{
    // Create missing parents too (mkdir -p), the last one owner-only.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create state directory " + path + ": " + std::strerror(errno));
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw std::runtime_error("state path is not a directory: " + path);
    if (info.st_uid != ::getuid())
        throw std::runtime_error("state directory belongs to another user: " + path);
    ::chmod(path.c_str(), 0700);
}

std::string metaValue(Database &db, const char *key)
{
    Statement select(db, "SELECT value FROM meta WHERE key = ?");
    select.bind(1, std::string(key));
    if (select.step())
        return select.text(0);
    const std::string value = std::strcmp(key, "anon_key") == 0 ? randomToken("anon_") : randomUUID();
    Statement insert(db, "INSERT INTO meta (key, value) VALUES (?, ?)");
    insert.bind(1, std::string(key)).bind(2, value).run();
    return value;
}

std::string openDatabase(const std::string &directory)
{
    makePrivateDirectory(directory);
    ::umask(077);
    return directory + "/devservice.sqlite3";
}

}  // namespace

std::string defaultStateDirectory()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/')
        return std::string(data) + "/veltro-devservice";
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        throw std::runtime_error("neither XDG_DATA_HOME nor HOME is set; pass --state DIR");
    return std::string(home) + "/.local/share/veltro-devservice";
}

State::State(const std::string &directory)
    : m_path(openDatabase(directory))
    , m_db(m_path)
{
    Transaction transaction(m_db);
    m_db.exec(kSchema);
    upgradeFaultsTable(m_db);
    upgradeTokenTables(m_db);
    m_identity.userId = metaValue(m_db, "user_id");
    m_identity.orgId = metaValue(m_db, "org_id");
    m_identity.projectId = metaValue(m_db, "project_id");
    m_identity.anonKey = metaValue(m_db, "anon_key");
    m_identity.email = kDevUserEmail;
    m_identity.password = kDevUserPassword;
    transaction.commit();
}

}  // namespace devservice

}  // namespace mornix
