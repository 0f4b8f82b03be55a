// The remote administrators' accounts: name, password, address filter and
// rights (each right the name of one remote command), kept in one ordered
// table with one lock and stored enciphered in Data/ServerAccess.dat. The
// account record is also what remote clients send and receive when they
// manage accounts, so its bytes are fixed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"
#include "core/thread_annotations.h"

namespace kv {

inline constexpr size_t kAccountTextMax = 255;  // name, password, filter
inline constexpr size_t kAccountRecordFixed = 772;
inline constexpr const char* kAccountsLoadError = "Error loading ServerAccess Data";

// One account; a plain record.
struct TAccessListEntry {
  std::string user_name;       // unique key, letter case counts
  std::string password;        // plain text in memory, enciphered on disk
  std::string address_filter;  // expression searched in the peer address; empty: any
  std::vector<std::string> rights;

  // Rights are command names, compared without regard to letter case.
  bool HasRight(std::string_view right) const;
  bool operator==(const TAccessListEntry&) const = default;
};

// True when the account's filter allows the address: empty allows all,
// otherwise a search (not anchored) of the expression in the address. A
// filter that is no valid expression allows nobody.
bool AddressAllowed(const std::string& filter, const std::string& address);

// Compares two passwords in time that depends only on their lengths, so a
// remote caller cannot learn a password's prefix by timing the answers.
bool PasswordsEqual(std::string_view a, std::string_view b);

// The account record: three texts of 256 bytes each (a length byte, up to
// 255 characters, zeros after them), the 32-bit little-endian length of the
// rights text, then the rights text (one right per line, each ended by
// CR LF). Longer texts are cut to 255 characters.
std::string AccountRecordBytes(const TAccessListEntry& account);
void WriteAccountRecord(TStream& out, const TAccessListEntry& account);
// Reads a record of `size` bytes from the stream. Throws EStreamError with
// kAccountsLoadError when the bytes are fewer than a record needs or the
// rights text runs past the record.
TAccessListEntry ReadAccountRecord(TStream& in, uint64_t size);

// The plain (deciphered) form of ServerAccess.dat: the 32-bit count, then
// per account its record length and record. Reading appends what it reads
// to `accounts` (a zero length gives an empty account); a file that ends
// before it announced throws EStreamError with kAccountsLoadError and keeps
// what was read. Never allocates more than the stream holds.
void WriteAccountsPlain(TStream& out, const std::vector<TAccessListEntry>& accounts);
void ReadAccountsPlain(TStream& in, std::vector<TAccessListEntry>& accounts);
// The file form: the plain form enciphered with the remote-administration
// pass phrase.
void WriteAccountsFile(TStream& out, const std::vector<TAccessListEntry>& accounts);
void ReadAccountsFile(TStream& in, std::vector<TAccessListEntry>& accounts);

// The table with its lock (recursive: a thread that holds an account from
// FindAccount may call the other operations before it lets go). Every
// operation takes the lock; none posts on the bus or takes another lock
// while holding it, so it is a leaf of the lock order. Any thread.
class TAccountTable {
 public:
  // An account found by FindAccount, with the table locked until Release
  // or the end of the object, so the caller may read and change it.
  class TFound {
   public:
    TFound(TFound&&) noexcept = default;
    TFound& operator=(TFound&&) noexcept = default;
    ~TFound() = default;
    explicit operator bool() const { return account_ != nullptr; }
    TAccessListEntry* operator->() const { return account_; }
    TAccessListEntry& operator*() const { return *account_; }
    // Lets the table go; the account may then change or vanish.
    void Release();

   private:
    friend class TAccountTable;
    TFound(std::unique_lock<TRecursiveMutex> lock, TAccessListEntry* account)
        : lock_(std::move(lock)), account_(account) {}
    std::unique_lock<TRecursiveMutex> lock_;
    TAccessListEntry* account_ = nullptr;
  };

  TAccountTable() = default;
  TAccountTable(const TAccountTable&) = delete;
  TAccountTable& operator=(const TAccountTable&) = delete;

  // Appends a copy unless an account has the same name (then false).
  bool AddAccount(const TAccessListEntry& account);
  // The first account with exactly this name; the table stays locked while
  // the result lives, also when nothing was found.
  TFound FindAccount(std::string_view user_name);
  // Removes the first account with the name; false when there is none.
  bool DeleteAccount(std::string_view user_name);
  // When an account with the record's name exists: removes it and appends
  // the record (it moves to the end). False when there was none.
  bool ReplaceAccount(const TAccessListEntry& account);
  // Whether any account may log in from the address (an empty filter
  // allows every address): asked before a packet is deciphered.
  bool AnyAccountAllows(const std::string& address) const;
  std::vector<std::string> AccountNames() const;
  std::vector<TAccessListEntry> Accounts() const;
  size_t Count() const;

  // The file form (enciphered). Loading first removes every account, then
  // adds them one by one (a repeated name is dropped); a damaged file
  // throws after keeping the accounts read before the damage.
  void LoadAccounts(TStream& in);
  void SaveAccounts(TStream& out) const;

 private:
  mutable TRecursiveMutex mutex_;  // the account-table lock: guards accounts_
  std::vector<TAccessListEntry> accounts_ GUARDED_BY(mutex_);
};

}  // namespace kv
