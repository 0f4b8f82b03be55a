#include "serverconfig/configlist.h"

#include "core/bus.h"
#include "core/cp1252.h"
#include "domain/events.h"
#include "serverconfig/configlist_impl.h"

namespace kv {
namespace {

void PublishChanged() { PostEvent(std::make_shared<TMohaaEvent>(ekConfigListChanged)); }

// A damaged file is kept beside the data as it was found: the next save
// writes only the sets that could be read, and the rest may still be
// mended by hand (kvtool configs dump shows what is readable).
void KeepDamagedCopy(const std::filesystem::path& home, const std::vector<uint8_t>& bytes) {
  const auto copy = TDataFileRegistry::DataDir(home) / "Configurations.dat.damaged";
  try {
    SaveFileAtomic(copy.string(), bytes.data(), bytes.size());
    PostGlobal("The damaged Configurations.dat is kept as " + copy.string(), mlWarning);
  } catch (const std::exception& e) {
    PostGlobal(std::string("The damaged Configurations.dat could not be kept: ") + e.what(), mlError);
  }
}

}  // namespace

// --- the file ------------------------------------------------------------------

void WriteConfigurationsFile(TStream& out, const std::vector<TVarList>& sets) {
  out.WriteInt32(static_cast<int32_t>(sets.size()));
  for (const TVarList& set : sets) WriteVarListRecord(out, set);
}

void ReadConfigurationsFile(TStream& in, std::vector<TVarList>& sets) {
  if (in.AtEnd()) return;  // a fresh home: no file, no sets
  if (in.Remaining() < 4) throw EVarListError(kConfigLoadError);
  const int32_t count = in.ReadInt32();
  if (count < 0) throw EVarListError(kConfigLoadError);
  for (int32_t i = 0; i < count; ++i) {
    // A count larger than the file holds ends here, before anything is
    // allocated for it; a record's length is checked against what remains.
    if (in.AtEnd()) throw EVarListError(kConfigLoadError);
    TVarList set;
    ReadVarListRecord(in, set, kConfigLoadError);
    sets.push_back(std::move(set));
  }
}

std::string ConfigName(const TVarList& set) {
  TVariant v;
  if (!set.TryGetValue("Name", v) || v.IsEmptyOrNull()) return {};
  try {
    return v.AsString();
  } catch (const std::exception&) {
    return {};  // a Name that is no text names nothing
  }
}

// --- the list ------------------------------------------------------------------

int TMohaaConfigList::TImpl::IndexOf(const std::string& name, bool any_case) const {
  for (size_t i = 0; i < sets.size(); ++i) {
    const std::string n = ConfigName(sets[i]);
    if (any_case ? SameText(n, name) : n == name) return static_cast<int>(i);
  }
  return -1;
}

bool TMohaaConfigList::TImpl::AddLocked(const TVarList& set) {
  const std::string name = ConfigName(set);
  if (name.empty() || IndexOf(name, true) >= 0) return false;
  sets.push_back(set);
  return true;
}

TMohaaConfigList::TMohaaConfigList(TRuntime& runtime, TReapplySettings reapply)
    : impl_(std::make_unique<TImpl>(runtime, std::move(reapply))) {}

TMohaaConfigList::~TMohaaConfigList() { Close(); }

bool TMohaaConfigList::Add(const TVarList& set) {
  {
    TLockGuard lock(impl_->list_mutex);
    if (!impl_->AddLocked(set)) return false;
  }
  PublishChanged();
  return true;
}

bool TMohaaConfigList::Update(const std::string& name, const TVarList& set) {
  {
    TLockGuard lock(impl_->list_mutex);
    const int at = impl_->IndexOf(name, false);
    const std::string new_name = ConfigName(set);
    if (at < 0 || new_name.empty()) return false;
    const int other = impl_->IndexOf(new_name, true);
    if (other >= 0 && other != at) return false;
    impl_->sets[static_cast<size_t>(at)] = set;
  }
  PublishChanged();
  return true;
}

bool TMohaaConfigList::Delete(const std::string& name) {
  {
    TLockGuard lock(impl_->list_mutex);
    const int at = impl_->IndexOf(name, false);
    if (at < 0) return false;
    impl_->sets.erase(impl_->sets.begin() + at);
  }
  PublishChanged();
  return true;
}

void TMohaaConfigList::Clear() {
  {
    TLockGuard lock(impl_->list_mutex);
    impl_->sets.clear();
  }
  PublishChanged();
}

std::optional<TVarList> TMohaaConfigList::Find(const std::string& name) const {
  TLockGuard lock(impl_->list_mutex);
  const int at = impl_->IndexOf(name, false);
  if (at < 0) return std::nullopt;
  return impl_->sets[static_cast<size_t>(at)];
}

std::string TMohaaConfigList::ResolveName(const std::string& name) const {
  TLockGuard lock(impl_->list_mutex);
  int at = impl_->IndexOf(name, false);
  if (at < 0) at = impl_->IndexOf(name, true);
  return at < 0 ? std::string() : ConfigName(impl_->sets[static_cast<size_t>(at)]);
}

std::vector<std::string> TMohaaConfigList::Names() const {
  TLockGuard lock(impl_->list_mutex);
  std::vector<std::string> names;
  for (const TVarList& set : impl_->sets) names.push_back(ConfigName(set));
  return names;
}

size_t TMohaaConfigList::Count() const {
  TLockGuard lock(impl_->list_mutex);
  return impl_->sets.size();
}

bool TMohaaConfigList::SaveOne(const std::string& name, TStream& out) const {
  const auto set = Find(name);
  if (!set) return false;
  set->SaveToStream(out);
  return true;
}

void TMohaaConfigList::Load(TStream& in) {
  std::vector<TVarList> read;
  std::exception_ptr damage;
  try {
    ReadConfigurationsFile(in, read);
  } catch (...) {
    damage = std::current_exception();
  }
  std::vector<std::string> refused;
  {
    TLockGuard lock(impl_->list_mutex);
    impl_->sets.clear();
    for (size_t i = 0; i < read.size(); ++i)
      if (!impl_->AddLocked(read[i])) refused.push_back(std::to_string(i + 1));
  }
  for (const std::string& number : refused)
    PostGlobal(
        "Configuration " + number + " of Configurations.dat left out: it has no name or a name taken before",
        mlWarning);
  PublishChanged();
  if (damage) std::rethrow_exception(damage);
}

void TMohaaConfigList::Save(TStream& out) const {
  TLockGuard lock(impl_->list_mutex);
  WriteConfigurationsFile(out, impl_->sets);
}

void TMohaaConfigList::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) {
    std::vector<uint8_t> bytes(static_cast<size_t>(in.Remaining()));
    if (!bytes.empty()) in.ReadBuffer(bytes.data(), bytes.size());
    TMemoryStream file(bytes);
    try {
      Load(file);
    } catch (const std::exception&) {
      KeepDamagedCopy(impl_->runtime.home, bytes);
      throw;
    }
  };
  handler.save = [this](TStream& out) { Save(out); };
  registry.Register(TDataFileId::Configurations, std::move(handler));
}

}  // namespace kv
