#include "domain/userlist.h"

#include "core/bus.h"

namespace kv {

TUserList::TUserList(const TUserList& other) {
  TRecursiveLockGuard lock(other.mutex_);
  rows_ = other.rows_;
  min_ping = other.min_ping;
  max_ping = other.max_ping;
  avg_ping = other.avg_ping;
  connecting = other.connecting;
  game_type = other.game_type;
  server_name = other.server_name;
  map_name = other.map_name;
}

void TUserList::Add(const TUserListEntry& row) {
  TRecursiveLockGuard lock(mutex_);
  rows_.push_back(row);
}

int TUserList::Count() const {
  TRecursiveLockGuard lock(mutex_);
  return static_cast<int>(rows_.size());
}

TUserListEntry TUserList::Row(int i) const {
  TRecursiveLockGuard lock(mutex_);
  return rows_.at(static_cast<size_t>(i));
}

std::vector<TUserListEntry> TUserList::Rows() const {
  TRecursiveLockGuard lock(mutex_);
  return rows_;
}

void TUserList::Clear() {
  TRecursiveLockGuard lock(mutex_);
  rows_.clear();
}

void TUserList::SetRows(std::vector<TUserListEntry> rows) {
  TRecursiveLockGuard lock(mutex_);
  rows_ = std::move(rows);
}

TUserListEntry FindListEntry(const TUserList& list, int32_t client_number) {
  for (const auto& r : list.Rows())
    if (r.client_number == client_number) return r;
  TUserListEntry none;
  none.client_number = kClientNotSet;
  return none;
}

std::unique_ptr<TUserList> CopyUserList(const TUserList& list) { return std::make_unique<TUserList>(list); }

void WriteUserList(const TUserList& list, TStream* stream) {
  if (!stream) return;
  const TUserList copy(list);  // one consistent view under the list's lock
  stream->WriteInt32(copy.game_type);
  stream->WriteInt32(copy.min_ping);
  stream->WriteInt32(copy.max_ping);
  stream->WriteInt32(copy.avg_ping);
  stream->WriteInt32(copy.connecting);
  stream->WriteLString(copy.map_name);
  stream->WriteLString(copy.server_name);
  const auto rows = copy.Rows();
  stream->WriteInt32(static_cast<int32_t>(rows.size()));
  for (const auto& r : rows) {
    for (const std::string* s :
         {&r.name, &r.address, &r.allied_model, &r.german_model, &r.weapon, &r.team_name})
      stream->WriteLString(*s);
    for (int32_t v : {r.score, r.ping, r.client_number, r.last_message, r.qport, r.rate})
      stream->WriteInt32(v);
  }
}

std::unique_ptr<TUserList> TCurrentPlayerList::Snapshot() const {
  return With([](std::unique_ptr<TUserList>& current) -> std::unique_ptr<TUserList> {
    return current ? CopyUserList(*current) : nullptr;
  });
}

template <typename Fn>
void TCurrentPlayerList::WriteRowsOf(int32_t client_number, Fn&& write) const {
  With([&](std::unique_ptr<TUserList>& current) {
    if (!current) return;
    try {
      current->ForEachRow([&](TUserListEntry& r) {
        if (r.client_number == client_number) write(r);
      });
    } catch (const std::exception&) {
      PostGlobal("SetModelsOnPlayerOnActualList List Access Exception", mlWarning);
    }
  });
}

void TCurrentPlayerList::SetModelsOnPlayerOnActualList(int32_t client_number, const std::string& allied,
                                                       const std::string& german) const {
  WriteRowsOf(client_number, [&](TUserListEntry& r) {
    r.allied_model = allied;
    r.german_model = german;
  });
}

void TCurrentPlayerList::SetTeamOnPlayerOnActualList(int32_t client_number, const std::string& team) const {
  WriteRowsOf(client_number, [&](TUserListEntry& r) { r.team_name = team; });
}

void TCurrentPlayerList::SetWeaponOnPlayerOnActualList(int32_t client_number,
                                                       const std::string& weapon) const {
  WriteRowsOf(client_number, [&](TUserListEntry& r) { r.weapon = weapon; });
}

}  // namespace kv
