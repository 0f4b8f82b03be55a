#include "remoteadmin/accounts.h"

#include <algorithm>
#include <cstring>

#include "enforcement/pattern.h"
#include "formats/cipher.h"

namespace kv {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

void WriteShortText(TStream& out, std::string_view text) {
  uint8_t field[kAccountTextMax + 1] = {};
  const size_t n = std::min(text.size(), kAccountTextMax);
  field[0] = static_cast<uint8_t>(n);
  std::memcpy(field + 1, text.data(), n);
  out.Write(field, sizeof field);
}

std::string ReadShortText(const uint8_t* field) {
  return std::string(reinterpret_cast<const char*>(field + 1), field[0]);
}

std::vector<std::string> SplitRights(std::string_view text) {
  std::vector<std::string> rights;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) rights.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return rights;
}

[[noreturn]] void LoadError() { throw EStreamError(kAccountsLoadError); }

}  // namespace

bool TAccessListEntry::HasRight(std::string_view right) const {
  return std::any_of(rights.begin(), rights.end(),
                     [&](const std::string& r) { return SameTextIgnoringCase(r, right); });
}

bool AddressAllowed(const std::string& filter, const std::string& address) {
  if (filter.empty()) return true;
  std::string error;
  const auto pattern = TPattern::Compile(filter, error);
  return pattern && pattern->Search(address);
}

bool PasswordsEqual(std::string_view a, std::string_view b) {
  // Every byte of the longer text is looked at whatever the earlier ones
  // held; only the lengths show in the time taken.
  const size_t n = std::max(a.size(), b.size());
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned>(x ^ y);
  }
  return diff == 0;
}

void WriteAccountRecord(TStream& out, const TAccessListEntry& account) {
  WriteShortText(out, account.user_name);
  WriteShortText(out, account.password);
  WriteShortText(out, account.address_filter);
  std::string rights;
  for (const auto& r : account.rights) rights += r + "\r\n";
  out.WriteInt32(static_cast<int32_t>(rights.size()));
  out.Write(rights.data(), rights.size());
}

std::string AccountRecordBytes(const TAccessListEntry& account) {
  TMemoryStream s;
  WriteAccountRecord(s, account);
  return s.Str();
}

TAccessListEntry ReadAccountRecord(TStream& in, uint64_t size) {
  if (size < kAccountRecordFixed || in.Remaining() < size) LoadError();
  uint8_t fixed[kAccountRecordFixed];
  in.ReadBuffer(fixed, sizeof fixed);
  TAccessListEntry account;
  account.user_name = ReadShortText(fixed);
  account.password = ReadShortText(fixed + 256);
  account.address_filter = ReadShortText(fixed + 512);
  const uint32_t rights_size = static_cast<uint32_t>(fixed[768]) | static_cast<uint32_t>(fixed[769]) << 8 |
                               static_cast<uint32_t>(fixed[770]) << 16 |
                               static_cast<uint32_t>(fixed[771]) << 24;
  const uint64_t rest = size - kAccountRecordFixed;
  if (rights_size > rest) LoadError();
  std::string rights(rights_size, '\0');
  if (rights_size > 0) in.ReadBuffer(rights.data(), rights_size);
  account.rights = SplitRights(rights);
  // Bytes beyond the rights belong to no field: skipped.
  in.Seek(in.Position() + (rest - rights_size));
  return account;
}

void WriteAccountsPlain(TStream& out, const std::vector<TAccessListEntry>& accounts) {
  out.WriteInt32(static_cast<int32_t>(accounts.size()));
  for (const auto& a : accounts) {
    const std::string record = AccountRecordBytes(a);
    out.WriteInt32(static_cast<int32_t>(record.size()));
    out.Write(record.data(), record.size());
  }
}

void ReadAccountsPlain(TStream& in, std::vector<TAccessListEntry>& accounts) {
  if (in.AtEnd()) return;  // a fresh home: no file, no accounts
  if (in.Remaining() < 4) LoadError();
  const int32_t count = in.ReadInt32();
  // Each account costs at least its 4-byte length, so the loop ends with
  // the stream whatever count claims.
  for (int32_t i = 0; i < count; ++i) {
    if (in.Remaining() < 4) LoadError();
    const int32_t size = in.ReadInt32();
    if (size < 0) LoadError();
    accounts.push_back(size == 0 ? TAccessListEntry{} : ReadAccountRecord(in, static_cast<uint64_t>(size)));
  }
}

void WriteAccountsFile(TStream& out, const std::vector<TAccessListEntry>& accounts) {
  TMemoryStream plain;
  WriteAccountsPlain(plain, accounts);
  plain.Seek(0);
  EncipherStream(TCipherPurpose::RemoteAdmin, plain, out, plain.Size());
}

void ReadAccountsFile(TStream& in, std::vector<TAccessListEntry>& accounts) {
  TMemoryStream plain;
  DecipherStream(TCipherPurpose::RemoteAdmin, in, plain, in.Remaining());
  plain.Seek(0);
  ReadAccountsPlain(plain, accounts);
}

void TAccountTable::TFound::Release() {
  account_ = nullptr;
  if (lock_.owns_lock()) lock_.unlock();
}

bool TAccountTable::AddAccount(const TAccessListEntry& account) {
  TRecursiveLockGuard lock(mutex_);
  for (const auto& a : accounts_)
    if (a.user_name == account.user_name) return false;
  accounts_.push_back(account);
  return true;
}

TAccountTable::TFound TAccountTable::FindAccount(std::string_view user_name) NO_THREAD_SAFETY_ANALYSIS {
  std::unique_lock<TRecursiveMutex> lock(mutex_);
  for (auto& a : accounts_)
    if (a.user_name == user_name) return TFound(std::move(lock), &a);
  return TFound(std::move(lock), nullptr);
}

bool TAccountTable::DeleteAccount(std::string_view user_name) {
  TRecursiveLockGuard lock(mutex_);
  const auto it = std::find_if(accounts_.begin(), accounts_.end(),
                               [&](const TAccessListEntry& a) { return a.user_name == user_name; });
  if (it == accounts_.end()) return false;
  accounts_.erase(it);
  return true;
}

bool TAccountTable::ReplaceAccount(const TAccessListEntry& account) {
  TRecursiveLockGuard lock(mutex_);
  if (!DeleteAccount(account.user_name)) return false;
  accounts_.push_back(account);
  return true;
}

bool TAccountTable::AnyAccountAllows(const std::string& address) const {
  // The filters are copied out first: compiling them is no work for the lock.
  std::vector<std::string> filters;
  {
    TRecursiveLockGuard lock(mutex_);
    for (const auto& a : accounts_) {
      if (a.address_filter.empty()) return true;
      filters.push_back(a.address_filter);
    }
  }
  return std::any_of(filters.begin(), filters.end(),
                     [&](const std::string& f) { return AddressAllowed(f, address); });
}

std::vector<std::string> TAccountTable::AccountNames() const {
  TRecursiveLockGuard lock(mutex_);
  std::vector<std::string> names;
  names.reserve(accounts_.size());
  for (const auto& a : accounts_) names.push_back(a.user_name);
  return names;
}

std::vector<TAccessListEntry> TAccountTable::Accounts() const {
  TRecursiveLockGuard lock(mutex_);
  return accounts_;
}

size_t TAccountTable::Count() const {
  TRecursiveLockGuard lock(mutex_);
  return accounts_.size();
}

void TAccountTable::LoadAccounts(TStream& in) {
  std::vector<TAccessListEntry> read;
  std::string error;
  try {
    ReadAccountsFile(in, read);
  } catch (const EStreamError& e) {
    error = e.what();
  }
  {
    TRecursiveLockGuard lock(mutex_);
    accounts_.clear();
    for (const auto& a : read) AddAccount(a);
  }
  if (!error.empty()) throw EStreamError(error);
}

void TAccountTable::SaveAccounts(TStream& out) const {
  std::vector<TAccessListEntry> copy = Accounts();
  WriteAccountsFile(out, copy);
}

}  // namespace kv
