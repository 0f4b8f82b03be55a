#include "remoteadmin/clients.h"

#include <algorithm>

namespace kv {
namespace {

void PushBounded(std::deque<std::string>& queue, std::string line, size_t max) {
  queue.push_back(std::move(line));
  while (queue.size() > max) queue.pop_front();
}

std::vector<std::string> TakeAll(std::deque<std::string>& queue) {
  std::vector<std::string> lines(std::make_move_iterator(queue.begin()),
                                 std::make_move_iterator(queue.end()));
  queue.clear();
  return lines;
}

void WriteShortField(TStream& stream, std::string_view text, size_t max_chars) {
  uint8_t field[256] = {};
  const size_t n = std::min(text.size(), max_chars);
  field[0] = uint8_t(n);
  std::copy_n(text.data(), n, field + 1);
  stream.Write(field, max_chars + 1);
}

bool ReadShortField(TStream& stream, size_t max_chars, std::string& out) {
  uint8_t field[256];
  if (stream.Read(field, max_chars + 1) != max_chars + 1) return false;
  const size_t n = std::min<size_t>(field[0], max_chars);
  out.assign(reinterpret_cast<const char*>(field + 1), n);
  return true;
}

}  // namespace

bool TClientList::Add(int32_t handle, std::string address) {
  TLockGuard lock(mutex_);
  for (const auto& e : entries_) {
    if (e.handle == handle) return false;
  }
  TSocketListEntry entry;
  entry.handle = handle;
  entry.address = std::move(address);
  entries_.push_back(std::move(entry));
  return true;
}

bool TClientList::Remove(int32_t handle) {
  TLockGuard lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.handle == handle; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

void TClientList::Clear() {
  TLockGuard lock(mutex_);
  entries_.clear();
}

size_t TClientList::Count() const {
  TLockGuard lock(mutex_);
  return entries_.size();
}

int TClientList::IndexOf(int32_t handle) const {
  TLockGuard lock(mutex_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].handle == handle) return int(i);
  }
  return -1;
}

std::optional<TSocketListEntry> TClientList::Get(int32_t handle) const {
  TLockGuard lock(mutex_);
  for (const auto& e : entries_) {
    if (e.handle == handle) return e;
  }
  return std::nullopt;
}

bool TClientList::SetUserName(int32_t handle, std::string_view user_name) {
  TLockGuard lock(mutex_);
  for (auto& e : entries_) {
    if (e.handle == handle) {
      e.user_name = std::string(user_name.substr(0, kClientUserNameMax));
      return true;
    }
  }
  return false;
}

void TClientList::Locked(const std::function<void(std::vector<TSocketListEntry>&)>& fn) {
  TLockGuard lock(mutex_);
  fn(entries_);
}

void TClientList::ClientChat(int32_t sender, std::string_view line) {
  TLockGuard lock(mutex_);
  for (auto& e : entries_) {
    if (e.handle != sender) PushBounded(e.client_chat, std::string(line), kClientChatQueueMax);
  }
  PushBounded(server_chat_, std::string(line), kServerChatLogMax);
}

void TClientList::BroadcastOperatorMessage(std::string_view text) {
  const std::string line = std::string(kOperatorChatPrefix) + std::string(text);
  TLockGuard lock(mutex_);
  for (auto& e : entries_) PushBounded(e.client_chat, line, kClientChatQueueMax);
}

void TClientList::AddPlayerChat(std::string_view line) {
  TLockGuard lock(mutex_);
  for (auto& e : entries_) PushBounded(e.player_chat, std::string(line), kClientChatQueueMax);
}

std::vector<std::string> TClientList::TakeClientChat(int32_t handle) {
  TLockGuard lock(mutex_);
  for (auto& e : entries_) {
    if (e.handle == handle) return TakeAll(e.client_chat);
  }
  return {};
}

std::vector<std::string> TClientList::TakePlayerChat(int32_t handle) {
  TLockGuard lock(mutex_);
  for (auto& e : entries_) {
    if (e.handle == handle) return TakeAll(e.player_chat);
  }
  return {};
}

std::string TClientList::TakeServerChatLog() {
  TLockGuard lock(mutex_);
  std::string text;
  for (const auto& line : server_chat_) {
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  server_chat_.clear();
  return text;
}

std::vector<TClientSnapshotEntry> TClientList::Snapshot() const {
  TLockGuard lock(mutex_);
  std::vector<TClientSnapshotEntry> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back({e.user_name, e.address, e.handle});
  return out;
}

void TClientList::WriteSnapshot(TStream& stream) const { WriteClientSnapshot(stream, Snapshot()); }

void WriteClientSnapshot(TStream& stream, const std::vector<TClientSnapshotEntry>& entries) {
  stream.WriteInt32(int32_t(entries.size()));
  for (const auto& e : entries) {
    WriteShortField(stream, e.user_name, kClientUserNameMax);
    WriteShortField(stream, e.address, kClientAddressMax);
    stream.WriteInt32(e.handle);
  }
}

bool ReadClientSnapshot(TStream& stream, std::vector<TClientSnapshotEntry>& entries, std::string* error) {
  entries.clear();
  auto fail = [&] {
    if (error) *error = kErrClientListLoad;
    return false;
  };
  if (stream.Remaining() < 4) return fail();
  const int32_t count = stream.ReadInt32();
  for (int32_t i = 0; i < count; ++i) {
    TClientSnapshotEntry e;
    if (stream.AtEnd() || !ReadShortField(stream, kClientUserNameMax, e.user_name) ||
        !ReadShortField(stream, kClientAddressMax, e.address) || stream.Remaining() < 4) {
      return fail();
    }
    e.handle = stream.ReadInt32();
    entries.push_back(std::move(e));
  }
  return true;
}

}  // namespace kv
