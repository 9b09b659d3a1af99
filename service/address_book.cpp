#include "address_book.h"

#include <sodium.h>
#include <sqlite3.h>
#include <utility>

namespace lantern::addressd {

namespace {

// Bytes bound as a BLOB rather than as text.
struct Blob {
    const std::string& bytes;
};

// One prepared statement, bound by position, finalised on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    template <typename... Values> Statement& bind(const Values&... values) {
        int at = 0;
        (bindOne(++at, values), ...);
        return *this;
    }
    // Steps once: true while a row is there.
    bool step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) return true;
        if (result == SQLITE_DONE) return false;
        throw StoreError(sqlite3_errmsg(db_));
    }
    int status() { return sqlite3_step(statement_); }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_blob(statement_, column);
        return bytes
                   ? std::string(static_cast<const char*>(bytes),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                   : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }

private:
    void bindOne(int at, const std::string& value) {
        sqlite3_bind_text(statement_, at, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    }
    void bindOne(int at, Blob value) {
        sqlite3_bind_blob(statement_, at, value.bytes.data(), static_cast<int>(value.bytes.size()),
                          SQLITE_TRANSIENT);
    }
    void bindOne(int at, std::int64_t value) { sqlite3_bind_int64(statement_, at, value); }
    void bindOne(int at, bool value) { sqlite3_bind_int(statement_, at, value ? 1 : 0); }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

} // namespace

AddressBook::AddressBook(const std::string& file) {
    if (sodium_init() < 0) throw StoreError("libsodium could not start");
    if (sqlite3_open_v2(file.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open " + file + ": " + why);
    }
    // A lock another writer holds is waited for a little, then that request
    // fails (503) rather than holding up every other.
    sqlite3_busy_timeout(db_, 1000);
    try {
        exec("PRAGMA journal_mode=WAL");
        // Every commit reaches the disk before it returns: a 201 is never lost.
        exec("PRAGMA synchronous=FULL");
        exec("CREATE TABLE IF NOT EXISTS addresses ("
             " path TEXT PRIMARY KEY,"
             " secret_hash BLOB NOT NULL,"
             " show_last INTEGER NOT NULL,"
             " has_passcode INTEGER NOT NULL,"
             " live_url TEXT NOT NULL DEFAULT '',"
             " live_name TEXT NOT NULL DEFAULT '',"
             " live_at INTEGER NOT NULL DEFAULT 0,"
             " created_at INTEGER NOT NULL)");
        exec("CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value BLOB NOT NULL)");
        Statement read(db_, "SELECT value FROM meta WHERE name = 'hash-key'");
        if (read.step()) {
            key_ = read.text(0);
        } else {
            std::string key(crypto_generichash_KEYBYTES, '\0');
            randombytes_buf(key.data(), key.size());
            Statement write(db_, "INSERT INTO meta (name, value) VALUES ('hash-key', ?)");
            write.bind(Blob{key}).step();
            key_ = std::move(key);
        }
        if (key_.size() != crypto_generichash_KEYBYTES) throw StoreError("damaged hash key");
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

AddressBook::~AddressBook() {
    sqlite3_close(db_);
}

void AddressBook::exec(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError(why);
    }
}

// Secrets are 32 random bytes, so a keyed BLAKE2b (a MAC) is what keeps them
// safe at rest; a slow password hash would add nothing but cost per request.
std::string AddressBook::hash(const std::string& secret) const {
    std::string out(crypto_generichash_BYTES, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(out.data()), out.size(),
                       reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                       reinterpret_cast<const unsigned char*>(key_.data()), key_.size());
    return out;
}

AddressBook::Claimed AddressBook::claim(const std::string& path, const std::string& secret,
                                        bool showLast, bool hasPasscode, std::int64_t now,
                                        std::int64_t unusedBefore) {
    Statement insert(db_, "INSERT INTO addresses (path, secret_hash, show_last, has_passcode,"
                          " created_at) VALUES (?, ?, ?, ?, ?)"
                          " ON CONFLICT (path) DO UPDATE SET secret_hash = excluded.secret_hash,"
                          " show_last = excluded.show_last, has_passcode = excluded.has_passcode,"
                          " live_url = '', live_name = '', live_at = 0,"
                          " created_at = excluded.created_at"
                          " WHERE max(addresses.created_at, addresses.live_at) < ?");
    const auto hashed = hash(secret);
    insert.bind(path, Blob{hashed}, showLast, hasPasscode, now, unusedBefore);
    if (insert.status() != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    return sqlite3_changes(db_) == 1 ? Claimed::ok : Claimed::taken;
}

std::optional<Entry> AddressBook::find(const std::string& path) const {
    Statement select(db_, "SELECT show_last, has_passcode, live_url, live_name, live_at"
                          " FROM addresses WHERE path = ?");
    if (!select.bind(path).step()) return std::nullopt;
    return Entry{path,           select.integer(0) != 0, select.integer(1) != 0,
                 select.text(2), select.text(3),         select.integer(4)};
}

bool AddressBook::owns(const std::string& path, const std::string& secret) const {
    Statement select(db_, "SELECT secret_hash FROM addresses WHERE path = ?");
    if (!select.bind(path).step()) return false;
    const auto stored = select.text(0);
    const auto given = hash(secret);
    return stored.size() == given.size() &&
           sodium_memcmp(stored.data(), given.data(), given.size()) == 0;
}

void AddressBook::setLive(const std::string& path, const std::string& url, const std::string& name,
                          std::int64_t now) {
    Statement update(db_, "UPDATE addresses SET live_url = ?, live_name = ?, live_at = ?"
                          " WHERE path = ?");
    update.bind(url, name, now, path).step();
}

void AddressBook::clearLive(const std::string& path) {
    Statement update(db_, "UPDATE addresses SET live_url = '' WHERE path = ?");
    update.bind(path).step();
}

void AddressBook::setSettings(const std::string& path, bool showLast, bool hasPasscode) {
    Statement update(db_, "UPDATE addresses SET show_last = ?, has_passcode = ? WHERE path = ?");
    update.bind(showLast, hasPasscode, path).step();
}

} // namespace lantern::addressd
