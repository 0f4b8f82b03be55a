#include "enforcement/banlist.h"

#include <cstring>

#include "domain/events.h"
#include "enforcement/pattern.h"

namespace kv {
namespace {

// Surrounding blanks and control characters go, as the message of a new
// ban is stored.
std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

void WriteDouble(TStream& out, double d) {
  uint8_t bytes[8];
  std::memcpy(bytes, &d, sizeof bytes);  // little-endian host, as the file
  out.Write(bytes, sizeof bytes);
}

double ReadDouble(TStream& in) {
  uint8_t bytes[8];
  in.ReadBuffer(bytes, sizeof bytes);
  double d;
  std::memcpy(&d, bytes, sizeof d);
  return d;
}

void Publish(uint8_t kind, std::string description) {
  PostEvent(std::make_shared<TMohaaEvent>(kind, std::move(description)));
}

// A later end wins; "never" (0) is the latest when it is the new end, and
// the earliest when it is the stored one.
bool TakesNewEnd(double stored, double given) { return given == 0 || stored == 0 || given > stored; }

// A ban given again takes its new message as a new ban would store it
// (trimmed), so giving the same ban twice changes nothing; a rule that gives
// no message at all leaves the stored one as it is.
bool TakesNewMessage(const std::string& stored, const std::string& given) {
  return !given.empty() && TrimBlanks(given) != stored;
}

}  // namespace

// --- the file ------------------------------------------------------------------

void WriteBanListFile(TStream& out, const std::vector<TBanListEntry>& bans) {
  out.WriteInt32(static_cast<int32_t>(bans.size()));
  for (const auto& b : bans) {
    WriteDouble(out, b.end);
    out.WriteLString(b.address_filter);
    out.WriteLString(b.nick_filter);
    out.WriteLString(b.ac_id);
    out.WriteLString(b.message);
  }
}

void ReadBanListFile(TStream& in, std::vector<TBanListEntry>& bans) {
  if (in.AtEnd()) return;  // a fresh home: no file, no bans
  const int32_t count = in.ReadInt32();
  if (count < 0) throw EStreamError(kBanLoadError);
  for (int32_t i = 0; i < count; ++i) {
    // A count larger than the file holds ends here, before anything is
    // allocated for it.
    if (in.AtEnd()) throw EStreamError(kBanLoadError);
    TBanListEntry b;
    b.end = ReadDouble(in);
    b.address_filter = in.ReadLString();
    b.nick_filter = in.ReadLString();
    b.ac_id = in.ReadLString();
    b.message = in.ReadLString();
    bans.push_back(std::move(b));
  }
}

// --- the list ------------------------------------------------------------------

TBanList::TStoredBan TBanList::Stored(TBanListEntry entry) {
  TStoredBan s;
  s.entry = std::move(entry);
  if (!s.entry.nick_filter.empty()) s.nick = TPattern::Compile(s.entry.nick_filter, s.nick_error);
  if (!s.entry.address_filter.empty()) s.address = TPattern::Compile(s.entry.address_filter, s.address_error);
  return s;
}

std::string TBanList::Description(const TBanListEntry& ban) {
  if (!ban.ac_id.empty()) return "User ACID: [" + ban.ac_id + "] Message: " + ban.message;
  return "User: [" + ban.nick_filter + "] Ip: [" + ban.address_filter + "] Message: " + ban.message;
}

void TBanList::PublishBanOver(const TBanListEntry& ban) { Publish(ekBanOver, Description(ban)); }

double TBanList::EndAfterMinutes(int32_t minutes) const {
  if (minutes == 0 || minutes == -1) return 0;
  return clock_.Now() + minutes / (24.0 * 60.0);
}

int32_t TBanList::AddBan(const std::string& nick_filter, const std::string& address_filter,
                         const std::string& message, int32_t minutes) {
  return AddBanUntil(nick_filter, address_filter, message, EndAfterMinutes(minutes));
}

int32_t TBanList::AddBanUntil(const std::string& nick_filter, const std::string& address_filter,
                              const std::string& message, double end) {
  TLockGuard lock(mutex_);
  return AddLocked(nick_filter, address_filter, message, end);
}

int32_t TBanList::AddLocked(const std::string& nick_filter, const std::string& address_filter,
                            const std::string& message, double end) {
  for (auto& s : bans_) {
    TBanListEntry& b = s.entry;
    if (b.address_filter != address_filter || b.nick_filter != nick_filter) continue;
    bool changed = false;
    if (TakesNewEnd(b.end, end) && b.end != end) {
      b.end = end;
      changed = true;
    }
    if (TakesNewMessage(b.message, message)) {
      b.message = TrimBlanks(message);
      changed = true;
    }
    if (changed)
      Publish(ekBanAdded, "User: [" + nick_filter + "] Ip: [" + address_filter + "] Message: " + message);
    return -1;
  }
  TBanListEntry b;
  b.nick_filter = nick_filter;
  b.address_filter = address_filter;
  b.end = end;
  b.message = message.empty() ? std::string(kDefaultBanMessage) : TrimBlanks(message);
  bans_.push_back(Stored(b));
  Publish(ekBanAdded, "User: [" + nick_filter + "] Ip: [" + address_filter + "] Message: " + message);
  return static_cast<int32_t>(bans_.size() - 1);
}

int32_t TBanList::AddIdBan(const std::string& id, int32_t minutes, const std::string& message) {
  return AddIdBanUntil(id, message, EndAfterMinutes(minutes));
}

int32_t TBanList::AddIdBanUntil(const std::string& id, const std::string& message, double end) {
  TLockGuard lock(mutex_);
  return AddIdLocked(id, message, end);
}

int32_t TBanList::AddIdLocked(const std::string& id, const std::string& message, double end) {
  const std::string description = "User ACID: [" + id + "] Message: " + message;
  for (auto& s : bans_) {
    TBanListEntry& b = s.entry;
    if (b.ac_id != id) continue;
    bool changed = !b.nick_filter.empty() || !b.address_filter.empty();
    b.nick_filter.clear();
    b.address_filter.clear();
    s.nick.reset();
    s.address.reset();
    if (TakesNewEnd(b.end, end) && b.end != end) {
      b.end = end;
      changed = true;
    }
    if (TakesNewMessage(b.message, message)) {
      b.message = TrimBlanks(message);
      changed = true;
    }
    if (changed) Publish(ekBanAdded, description);
    return -1;
  }
  TBanListEntry b;
  b.ac_id = id;
  b.end = end;
  b.message = message.empty() ? std::string(kDefaultBanMessage) : TrimBlanks(message);
  bans_.push_back(Stored(b));
  Publish(ekBanAdded, description);
  return static_cast<int32_t>(bans_.size() - 1);
}

bool TBanList::RemoveBan(const std::string& nick_filter, const std::string& address_filter) {
  TLockGuard lock(mutex_);
  for (size_t i = 0; i < bans_.size(); ++i) {
    const TBanListEntry& b = bans_[i].entry;
    if (b.nick_filter == nick_filter && b.address_filter == address_filter) {
      PublishBanOver(b);
      bans_.erase(bans_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

bool TBanList::RemoveIdBan(const std::string& id) {
  TLockGuard lock(mutex_);
  for (size_t i = 0; i < bans_.size(); ++i) {
    if (bans_[i].entry.ac_id == id) {
      PublishBanOver(bans_[i].entry);
      bans_.erase(bans_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

bool TBanList::RemoveAt(size_t index) {
  TLockGuard lock(mutex_);
  if (index >= bans_.size()) return false;
  PublishBanOver(bans_[index].entry);
  bans_.erase(bans_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

std::vector<TBanListEntry> TBanList::Entries() const {
  TLockGuard lock(mutex_);
  std::vector<TBanListEntry> out;
  out.reserve(bans_.size());
  for (const auto& s : bans_) out.push_back(s.entry);
  return out;
}

size_t TBanList::Count() const {
  TLockGuard lock(mutex_);
  return bans_.size();
}

void TBanList::WithBans(const std::function<void(std::vector<TStoredBan>& bans)>& fn) {
  TLockGuard lock(mutex_);
  fn(bans_);
}

void TBanList::Load(TStream& in) {
  std::vector<TBanListEntry> read;
  std::exception_ptr damage;
  try {
    ReadBanListFile(in, read);
  } catch (const EStreamError&) {
    damage = std::current_exception();
  }
  TLockGuard lock(mutex_);
  bans_.clear();
  for (auto& b : read) {
    // Stored empty, an empty message stays empty (trimmed to nothing)
    // instead of becoming the default one.
    const std::string message = b.message.empty() ? std::string(" ") : b.message;
    if (!b.ac_id.empty())
      AddIdLocked(b.ac_id, message, b.end);
    else
      AddLocked(b.nick_filter, b.address_filter, message, b.end);
  }
  if (damage) std::rethrow_exception(damage);
}

void TBanList::Save(TStream& out) const { WriteBanListFile(out, Entries()); }

}  // namespace kv
