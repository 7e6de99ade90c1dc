#include "releases.h"

#include "util.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace mornix {

namespace devservice {

namespace {

const char *const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS releases (
  version TEXT PRIMARY KEY, short_version TEXT NOT NULL, length INTEGER NOT NULL,
  signature TEXT NOT NULL, published_at INTEGER NOT NULL,
  serve_bytes INTEGER NOT NULL, bytes_per_second INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS release_settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
)SQL";

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string stateDirectory(State &state)
{
    const std::string &db = state.databasePath();
    return db.substr(0, db.rfind('/'));
}

std::string releaseDirectory(State &state)
{
    const std::string directory = stateDirectory(state) + "/releases";
    ::mkdir(directory.c_str(), 0700);
    return directory;
}

void ensureSchema(State &state)
{
    state.locked([](Database &db) {
        db.exec(kSchema);
        std::vector<std::string> columns;
        {
            Statement select(db, "SELECT name FROM pragma_table_info('releases')");
            while (select.step())
                columns.push_back(select.text(0));
        }
        // Columns added since the first schema, to a database that predates them.
        for (const char *column :
             {"advertised_length TEXT NOT NULL DEFAULT ''", "unsigned_item INTEGER NOT NULL DEFAULT 0",
              "extension TEXT NOT NULL DEFAULT 'tar'"}) {
            const std::string name = std::string(column).substr(0, std::string(column).find(' '));
            if (std::find(columns.begin(), columns.end(), name) == columns.end())
                db.exec(("ALTER TABLE releases ADD COLUMN " + std::string(column)).c_str());
        }
    });
}

// The release key, created on first use. Creation and reading are serialised by the lock.
Key releaseKey(State &state)
{
    return state.locked([&](Database &) {
        const std::string path = stateDirectory(state) + "/release-ed25519.pem";
        if (FILE *file = std::fopen(path.c_str(), "re")) {
            Key key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr), &EVP_PKEY_free);
            std::fclose(file);
            if (!key)
                throw std::runtime_error("cannot read the release key " + path);
            return key;
        }
        EVP_PKEY *raw = nullptr;
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
        if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &raw) != 1)
            throw std::runtime_error("cannot generate the release key");
        Key key(raw, &EVP_PKEY_free);
        const mode_t previous = ::umask(077);
        FILE *file = std::fopen(path.c_str(), "wxe");
        ::umask(previous);
        if (!file || PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            if (file)
                std::fclose(file);
            throw std::runtime_error("cannot write the release key " + path);
        }
        std::fclose(file);
        return key;
    });
}

std::string base64(const std::string &bytes)
{
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

std::string sign(EVP_PKEY *key, const std::string &message)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::string signature(64, '\0');
    size_t length = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                          reinterpret_cast<const unsigned char *>(message.data()), message.size())
               != 1
        || length != 64)
        throw std::runtime_error("cannot sign the archive");
    return signature;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool validVersion(const std::string &version)
{
    static const std::regex form("^[0-9A-Za-z][0-9A-Za-z.+-]{0,63}$");
    return std::regex_match(version, form);
}

std::string xmlEscape(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The origin the client used (its Host header when it is a plain host[:port]).
std::string originOf(const httplib::Request &req, const std::string &fallback, const char *scheme)
{
    static const std::regex hostForm("^[A-Za-z0-9.-]+(:[0-9]{1,5})?$|^\\[[0-9a-fA-F:]+\\](:[0-9]{1,5})?$");
    const std::string host = req.get_header_value("Host");
    if (!host.empty() && std::regex_match(host, hostForm))
        return std::string(scheme) + "://" + host;
    if (std::string(scheme) == "https")
        return fallback;
    return "http://" + fallback.substr(fallback.find("://") + 3);
}

struct Release {
    std::string version;
    std::string shortVersion;
    std::int64_t length;
    std::string signature;
    std::int64_t serveBytes;
    std::int64_t bytesPerSecond;
    std::string advertisedLength;   // the item's length attribute when not the real one
    bool unsignedItem = false;      // the item carries no signature
    std::string extension = "tar";  // of the enclosure's name: tar, tar.gz, tar.xz or zip
};

// The archive formats an enclosure may name, and their media types.
const std::vector<std::pair<std::string, std::string>> &extensions()
{
    static const std::vector<std::pair<std::string, std::string>> list{{"tar.gz", "application/gzip"},
                                                                       {"tar.xz", "application/x-xz"},
                                                                       {"tar", "application/x-tar"},
                                                                       {"zip", "application/zip"}};
    return list;
}

std::string mediaType(const std::string &extension)
{
    for (const auto &[known, type] : extensions()) {
        if (known == extension)
            return type;
    }
    return "application/octet-stream";
}

// The extension an archive's file name ends with; empty when none of the known ones.
std::string extensionOf(const std::string &path)
{
    for (const auto &[known, type] : extensions()) {
        const std::string suffix = "." + known;
        if (path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            return known;
    }
    return {};
}

std::vector<Release> releases(State &state)
{
    return state.locked([](Database &db) {
        std::vector<Release> list;
        Statement select(db,
                         "SELECT version, short_version, length, signature, serve_bytes, bytes_per_second, "
                         "advertised_length, unsigned_item, extension FROM releases ORDER BY published_at, version");
        while (select.step())
            list.push_back(Release{select.text(0), select.text(1), select.integer(2), select.text(3), select.integer(4),
                                   select.integer(5), select.text(6), select.integer(7) != 0, select.text(8)});
        return list;
    });
}

std::string setting(State &state, const std::string &key)
{
    return state.locked([&key](Database &db) {
        Statement select(db, "SELECT value FROM release_settings WHERE key = ?");
        select.bind(1, key);
        return select.step() ? select.text(0) : std::string();
    });
}

bool redirectsToHTTP(State &state)
{
    return setting(state, "redirect_http") == "on";
}

// Hostile answers in place of the feed or an archive: "endless-404" (a 404 whose body never
// ends) or "trickle" (a 200 whose body comes one byte every 200 ms and never ends). Each ends
// only when the client goes.
bool serveFault(const std::string &fault, httplib::Response &res)
{
    if (fault == "endless-404") {
        res.status = 404;
        res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink &sink) {
            static const std::string block(16 * 1024, 'x');
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return sink.is_writable() && sink.write(block.data(), block.size());
        });
        return true;
    }
    if (fault == "trickle") {
        res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink &sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return sink.is_writable() && sink.write(" ", 1);
        });
        return true;
    }
    return false;
}

std::string appcast(const std::vector<Release> &list, const std::string &origin)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                      "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
                      "  <channel>\n    <title>Veltro Desktop</title>\n";
    for (const Release &release : list) {
        xml += "    <item>\n      <title>Version " + xmlEscape(release.shortVersion) + "</title>\n"
               + "      <sparkle:version>" + xmlEscape(release.version) + "</sparkle:version>\n"
               + "      <sparkle:shortVersionString>" + xmlEscape(release.shortVersion)
               + "</sparkle:shortVersionString>\n"
               + "      <sparkle:minimumSystemVersion>13.0</sparkle:minimumSystemVersion>\n" + "      <enclosure url=\""
               + xmlEscape(origin + "/releases/" + release.version + "." + release.extension) + "\" length=\""
               + xmlEscape(release.advertisedLength.empty() ? std::to_string(release.length) : release.advertisedLength)
               + "\" type=\"" + mediaType(release.extension) + "\""
               + (release.unsignedItem ? std::string() : " sparkle:edSignature=\"" + base64(release.signature) + "\"")
               + "/>\n    </item>\n";
    }
    xml += "  </channel>\n</rss>\n";
    return xml;
}

void print(bool json, const QJsonObject &document, const std::string &text)
{
    const std::string out = json ? QJsonDocument(document).toJson(QJsonDocument::Compact).toStdString() : text;
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (out.empty() || out.back() != '\n')
        std::fputc('\n', stdout);
}

QJsonObject releaseJSON(const Release &release)
{
    return QJsonObject{{"version", QString::fromStdString(release.version)},
                       {"short_version", QString::fromStdString(release.shortVersion)},
                       {"length", static_cast<qint64>(release.length)},
                       {"ed_signature", QString::fromStdString(base64(release.signature))},
                       {"serve_bytes", static_cast<qint64>(release.serveBytes)},
                       {"bytes_per_second", static_cast<qint64>(release.bytesPerSecond)},
                       {"advertised_length", QString::fromStdString(release.advertisedLength)},
                       {"unsigned_item", release.unsignedItem},
                       {"extension", QString::fromStdString(release.extension)}};
}

std::int64_t number(const std::string &text, const char *option, std::int64_t min)
{
    const auto value = parseInteger(text);
    if (!value || *value < min)
        throw std::runtime_error(std::string(option) + " must be a number of at least " + std::to_string(min));
    return *value;
}

void publish(State &state, const std::vector<std::string> &args, bool json)
{
    std::string version, shortVersion, archive;
    bool badSignature = false;
    std::int64_t serveBytes = -1;
    std::int64_t bytesPerSecond = 0;
    std::string advertisedLength;
    bool unsignedItem = false;
    std::string extension;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--bad-signature" || arg == "--no-signature") {
            (arg == "--bad-signature" ? badSignature : unsignedItem) = true;
            continue;
        }
        if (i + 1 >= args.size())
            throw std::runtime_error(arg + " needs a value");
        const std::string &value = args[++i];
        if (arg == "--version")
            version = value;
        else if (arg == "--short-version")
            shortVersion = value;
        else if (arg == "--archive")
            archive = value;
        else if (arg == "--truncate")
            serveBytes = number(value, "--truncate", 0);
        else if (arg == "--bytes-per-second")
            bytesPerSecond = number(value, "--bytes-per-second", 1);
        else if (arg == "--advertise-length")
            advertisedLength = value;
        else if (arg == "--enclosure-extension")
            extension = value;
        else
            throw std::runtime_error("unknown option " + arg);
    }
    if (!validVersion(version))
        throw std::runtime_error("release publish needs --version (letters, digits, '.', '+', '-')");
    if (shortVersion.empty())
        shortVersion = version;
    if (archive.empty())
        throw std::runtime_error("release publish needs --archive FILE");
    // The feed names the archive by its file's extension, unless told to name it otherwise.
    if (extension.empty())
        extension = extensionOf(archive);
    if (mediaType(extension) == "application/octet-stream")
        throw std::runtime_error("the archive's name (or --enclosure-extension) must be tar, tar.gz, tar.xz or zip");
    const std::string bytes = readFile(archive);
    if (bytes.empty())
        throw std::runtime_error("the archive is empty");
    const Key key = releaseKey(state);
    std::string signature = sign(key.get(), bytes);
    if (badSignature)
        signature[7] = static_cast<char>(signature[7] ^ 0x01);

    const std::string stored = releaseDirectory(state) + "/" + version + "." + extension;
    const std::string temporary = stored + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot store the archive");
    }
    if (std::rename(temporary.c_str(), stored.c_str()) != 0)
        throw std::runtime_error("cannot store the archive");
    const Release release{version,          shortVersion, static_cast<std::int64_t>(bytes.size()),
                          signature,        serveBytes,   bytesPerSecond,
                          advertisedLength, unsignedItem, extension};
    state.locked([&](Database &db) {
        Statement upsert(db,
                         "INSERT OR REPLACE INTO releases (version, short_version, length, signature, published_at, "
                         "serve_bytes, bytes_per_second, advertised_length, unsigned_item, extension) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        upsert.bind(1, version)
            .bind(2, shortVersion)
            .bind(3, release.length)
            .bind(4, signature)
            .bind(5, nowMs())
            .bind(6, serveBytes)
            .bind(7, bytesPerSecond)
            .bind(8, advertisedLength)
            .bind(9, unsignedItem ? 1 : 0)
            .bind(10, extension)
            .run();
    });
    print(json, releaseJSON(release), "published " + version);
}

}  // namespace

std::string releasePublicKeyBase64(State &state)
{
    const Key key = releaseKey(state);
    std::string raw(32, '\0');
    size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(raw.data()), &length) != 1
        || length != 32)
        throw std::runtime_error("cannot read the release public key");
    return base64(raw);
}

void runReleaseAdmin(State &state, const std::vector<std::string> &args, bool json)
{
    ensureSchema(state);
    const std::string command = args.empty() ? "" : args[0];
    const std::vector<std::string> rest(args.empty() ? args.end() : args.begin() + 1, args.end());
    if (command == "key" && rest.empty()) {
        const std::string key = releasePublicKeyBase64(state);
        print(json, QJsonObject{{"public_ed_key", QString::fromStdString(key)}}, key);
    } else if (command == "publish") {
        publish(state, rest, json);
    } else if (command == "list" && rest.empty()) {
        QJsonArray list;
        std::string text;
        for (const Release &release : releases(state)) {
            list.append(releaseJSON(release));
            text += release.version + "  " + release.shortVersion + "  " + std::to_string(release.length) + " bytes\n";
        }
        print(json, QJsonObject{{"releases", list}}, text.empty() ? "no releases\n" : text);
    } else if (command == "clear" && rest.empty()) {
        state.locked([](Database &db) { db.exec("DELETE FROM releases; DELETE FROM release_settings;"); });
        print(json, QJsonObject{{"cleared", true}}, "releases cleared");
    } else if (command == "redirect-http" && rest.size() == 1 && (rest[0] == "on" || rest[0] == "off")) {
        state.locked([&](Database &db) {
            Statement upsert(db, "INSERT OR REPLACE INTO release_settings (key, value) VALUES ('redirect_http', ?)");
            upsert.bind(1, rest[0]).run();
        });
        print(json, QJsonObject{{"redirect_http", rest[0] == "on"}}, "feed redirect to http " + rest[0]);
    } else if (command == "fault" && rest.size() == 2 && (rest[0] == "feed" || rest[0] == "archive")
               && (rest[1] == "none" || rest[1] == "endless-404" || rest[1] == "trickle")) {
        state.locked([&](Database &db) {
            Statement upsert(db, "INSERT OR REPLACE INTO release_settings (key, value) VALUES (?, ?)");
            upsert.bind(1, "fault_" + rest[0]).bind(2, rest[1]).run();
        });
        print(json, QJsonObject{{"fault", QString::fromStdString(rest[0] + " " + rest[1])}},
              rest[0] + " fault " + rest[1]);
    } else {
        throw std::runtime_error(
            "release key | release publish --version V [--short-version S] --archive FILE [--bad-signature] "
            "[--no-signature] [--advertise-length TEXT] [--enclosure-extension EXT] [--truncate BYTES] "
            "[--bytes-per-second N] | release list | "
            "release clear | release redirect-http on|off | release fault feed|archive none|endless-404|trickle");
    }
}

void installReleaseRoutes(httplib::Server &server, State &state, const std::string &publicOrigin)
{
    ensureSchema(state);
    server.Get("/appcast.xml", [&state, publicOrigin](const httplib::Request &req, httplib::Response &res) {
        if (serveFault(setting(state, "fault_feed"), res))
            return;
        if (redirectsToHTTP(state)) {
            res.set_redirect(originOf(req, publicOrigin, "http") + "/appcast.xml", 302);
            return;
        }
        res.set_content(appcast(releases(state), originOf(req, publicOrigin, "https")), "application/rss+xml");
    });
    server.Get(R"(/releases/([0-9A-Za-z][0-9A-Za-z.+-]{0,63})\.(tar|tar\.gz|tar\.xz|zip))",
               [&state](const httplib::Request &req, httplib::Response &res) {
                   const std::string version = req.matches[1];
                   const std::string extension = req.matches[2];
                   if (serveFault(setting(state, "fault_archive"), res))
                       return;
                   std::optional<Release> found;
                   for (const Release &release : releases(state)) {
                       if (release.version == version && release.extension == extension)
                           found = release;
                   }
                   if (!found) {
                       res.status = 404;
                       res.set_content("no such release\n", "text/plain");
                       return;
                   }
                   auto bytes = std::make_shared<std::string>(
                       readFile(releaseDirectory(state) + "/" + version + "." + extension));
                   const Release release = *found;
                   // The advertised length is the whole archive; a truncated release stops early.
                   res.set_content_provider(
                       bytes->size(), mediaType(extension).c_str(),
                       [bytes, release](size_t offset, size_t length, httplib::DataSink &sink) {
                           if (release.serveBytes >= 0 && static_cast<std::int64_t>(offset) >= release.serveBytes)
                               return false;  // drops the connection mid-body
                           size_t chunk = std::min<size_t>(length, 64 * 1024);
                           if (release.serveBytes >= 0)
                               chunk = std::min<size_t>(
                                   chunk, static_cast<size_t>(release.serveBytes - static_cast<std::int64_t>(offset)));
                           if (release.bytesPerSecond > 0) {
                               chunk = std::min<size_t>(
                                   chunk, std::max<size_t>(1, static_cast<size_t>(release.bytesPerSecond / 10)));
                               std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<std::int64_t>(chunk)
                                                                                     * 1000 / release.bytesPerSecond));
                           }
                           return sink.write(bytes->data() + offset, chunk);
                       });
               });
}

}  // namespace devservice

}  // namespace mornix
