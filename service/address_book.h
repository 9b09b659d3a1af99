#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

struct sqlite3;

namespace lantern::addressd {

// One claimed address as the book keeps it. The secret is kept only as a
// keyed hash; the station's passcode only as whether it has one.
struct Entry {
    std::string path;
    bool showLast = false;
    bool hasPasscode = false;
    std::string liveURL;     // empty while off air
    std::string liveName;    // the station's display name, as last announced
    std::int64_t liveAt = 0; // unix seconds of the last announcement
};

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The service's addresses in one SQLite database (WAL, synchronous writes):
// every change is on disk before its call returns.
class AddressBook {
public:
    // Opens or creates the database at `file`; throws StoreError.
    explicit AddressBook(const std::string& file);
    ~AddressBook();
    AddressBook(const AddressBook&) = delete;
    AddressBook& operator=(const AddressBook&) = delete;

    enum class Claimed { ok, taken };
    // Adds `path` with `secret`; `taken` when the path exists already, unless
    // it was neither claimed nor announced since `unusedBefore`: then it is
    // handed over, and the old secret proves nothing any more.
    Claimed claim(const std::string& path, const std::string& secret, bool showLast,
                  bool hasPasscode, std::int64_t now, std::int64_t unusedBefore);

    std::optional<Entry> find(const std::string& path) const;
    // Whether `secret` is the one `path` was claimed with (constant time).
    bool owns(const std::string& path, const std::string& secret) const;

    void setLive(const std::string& path, const std::string& url, const std::string& name,
                 std::int64_t now);
    void clearLive(const std::string& path);
    void setSettings(const std::string& path, bool showLast, bool hasPasscode);

private:
    std::string hash(const std::string& secret) const;
    void exec(const char* sql) const;

    sqlite3* db_ = nullptr;
    std::string key_; // the hash key, kept in the database's meta table
};

} // namespace lantern::addressd
