#include "app/remote_targets.h"

#include "core/stream.h"
#include "formats/varlist.h"
#include "rules/skins.h"
#include "serverconfig/configlist.h"

namespace kv {
namespace {

class TConfigSets : public TRemoteConfigSets {
 public:
  explicit TConfigSets(TMohaaConfigList& sets) : sets_(sets) {}
  std::vector<std::string> Names() override { return sets_.Names(); }
  bool Activate(const std::string& name) override { return sets_.Activate(name); }
  std::optional<std::string> Settings(const std::string& name) override {
    TMemoryStream out;
    if (!sets_.SaveOne(name, out)) return std::nullopt;
    return out.Str();
  }
  bool Add(const TVarList& values) override { return sets_.Add(values); }
  // The values of the list go into the set it names; what the list does
  // not mention stays as it was.
  bool Update(const TVarList& values) override {
    TVariant name;
    if (!values.TryGetValue("Name", name)) return false;
    const std::string set_name = name.AsString();
    auto set = sets_.Find(set_name);
    if (!set) return false;
    values.ForEach([&](std::string_view key, const TVariant& value) { set->SetValue(key, value); });
    return sets_.Update(set_name, *set);
  }
  bool Delete(const std::string& name) override { return sets_.Delete(name); }
  bool CancelSetup() override {
    sets_.Cancel();
    return true;
  }

 private:
  TMohaaConfigList& sets_;
};

class TSkinList : public TRemoteSkinList {
 public:
  explicit TSkinList(TSkinLists& skins) : skins_(skins) {}
  std::vector<std::string> Skins() override { return skins_.Configured(); }
  void Replace(const std::vector<std::string>& skins) override { skins_.ReplaceConfigured(skins); }
  void Add(const std::string& skin) override { skins_.AddConfigured(skin); }

 private:
  TSkinLists& skins_;
};

}  // namespace

std::shared_ptr<TRemoteConfigSets> RemoteConfigSets(TMohaaConfigList& sets) {
  return std::make_shared<TConfigSets>(sets);
}

std::shared_ptr<TRemoteSkinList> RemoteSkinList(TSkinLists& skins) {
  return std::make_shared<TSkinList>(skins);
}

}  // namespace kv
