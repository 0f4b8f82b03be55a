#include "domain/settings.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "core/cp1252.h"
#include "core/regional.h"
#include "core/snapshot.h"
#include "formats/base64.h"
#include "formats/cipher.h"

namespace kv {
namespace {

using T = TSettingType;

bool StrictBase64(std::string_view s) {
  if (s.size() % 4 != 0) return false;
  size_t pad = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '=') {
      ++pad;
      continue;
    }
    const bool alpha =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!alpha || pad > 0) return false;  // "=" only at the end
  }
  return pad <= 2;
}

}  // namespace

namespace {

// The registered tables in INI order, with an index by key. Registration
// builds a new one and publishes it whole; readers keep the one they took.
struct TCatalogue {
  std::vector<TSettingRows> tables;  // sorted by place, then by registration
  std::vector<std::reference_wrapper<const TSettingDef>> rows;
  // Keys are looked up at every use (each rcon request, each message): an
  // index by the key in lower case instead of a walk through the tables.
  std::unordered_map<std::string, const TSettingDef*> index;
};

TCatalogue Build(std::vector<TSettingRows> tables) {
  TCatalogue c;
  std::stable_sort(tables.begin(), tables.end(),
                   [](const TSettingRows& a, const TSettingRows& b) { return a.place < b.place; });
  for (const TSettingRows& t : tables)
    for (const TSettingDef& d : t.rows) {
      if (!c.index.emplace(AnsiLowerCase(d.key), &d).second)
        throw std::logic_error("setting in two tables of the catalogue: " + std::string(d.key));
      c.rows.emplace_back(d);
    }
  c.tables = std::move(tables);
  return c;
}

struct TCatalogueRegistry {
  std::mutex register_mutex;  // serialises registrations; a leaf
  TSnapshot<TCatalogue> current{Build({NotYetOwnedSettingRows().begin(), NotYetOwnedSettingRows().end()})};
};

TCatalogueRegistry& Registry() {
  static TCatalogueRegistry registry;
  return registry;
}

}  // namespace

void RegisterSettingRows(std::span<const TSettingRows> tables) {
  TCatalogueRegistry& r = Registry();
  std::lock_guard lock(r.register_mutex);
  std::vector<TSettingRows> next = r.current.Get()->tables;
  const size_t before = next.size();
  for (const TSettingRows& t : tables) {
    const bool known = std::any_of(next.begin(), next.end(), [&](const TSettingRows& k) {
      return k.rows.data() == t.rows.data() && k.rows.size() == t.rows.size();
    });
    if (!known) next.push_back(t);
  }
  if (next.size() != before) r.current.Publish(Build(std::move(next)));
}

std::vector<std::reference_wrapper<const TSettingDef>> SettingsCatalogue() {
  return Registry().current.Get()->rows;
}

const TSettingDef* FindSetting(std::string_view key) {
  const std::shared_ptr<const TCatalogue> c = Registry().current.Get();
  const auto it = c->index.find(AnsiLowerCase(key));
  return it == c->index.end() ? nullptr : it->second;
}

namespace {

const TSettingDef& CheckedDef(std::string_view key, TSettingType type) {
  const TSettingDef* d = FindSetting(key);
  if (!d) throw std::logic_error("setting not in the catalogue: " + std::string(key));
  if (d->type != type || d->home_default != THomeDefault::None)
    throw std::logic_error("setting read with another type: " + std::string(key));
  return *d;
}

int32_t IntDefault(const TSettingDef& d) {
  int64_t v = 0;
  regional::TryStrToInt(d.def, v);
  return static_cast<int32_t>(v);
}

}  // namespace

int32_t TSettingsReader::Int(std::string_view key) const {
  const int32_t def = IntDefault(CheckedDef(key, T::Int));
  return config_ ? config_->GetIntegerDef(key, def) : def;
}

int32_t TSettingsReader::IntOr(std::string_view key, int32_t fallback) const {
  CheckedDef(key, T::Int);
  return config_ ? config_->GetIntegerDef(key, fallback) : fallback;
}

bool TSettingsReader::Bool(std::string_view key) const {
  const bool def = CheckedDef(key, T::Bool).def == "1";
  return config_ ? config_->GetBoolDef(key, def) : def;
}

std::string TSettingsReader::String(std::string_view key) const {
  const std::string_view def = CheckedDef(key, T::String).def;
  return config_ ? config_->GetStringDef(key, def) : std::string(def);
}

std::string SettingDefaultText(const TSettingDef& def, const std::filesystem::path& home) {
  switch (def.home_default) {
    case THomeDefault::LogDir: return (home / "Logs").string() + "/";
    case THomeDefault::ReportDir: return (home / "Stats").string();
    case THomeDefault::None: break;
  }
  return std::string(def.def);
}

size_t StoreMissingSettings(TDynamicConfigData& config, const std::filesystem::path& home) {
  const auto catalogue = SettingsCatalogue();
  std::vector<TConfigDefault> defaults;
  defaults.reserve(catalogue.size());
  for (const TSettingDef& d : catalogue) {
    const std::string text = SettingDefaultText(d, home);
    switch (d.type) {
      case T::Int: {
        int64_t v = 0;
        regional::TryStrToInt(text, v);
        defaults.push_back({std::string(d.key), vtInteger, TVariant(static_cast<int32_t>(v))});
        break;
      }
      case T::Bool: defaults.push_back({std::string(d.key), vtBoolean, TVariant(text == "1")}); break;
      case T::String:
      case T::Enc: defaults.push_back({std::string(d.key), vtString, TVariant(text)}); break;
    }
  }
  return config.StoreMissing(defaults);
}

std::string EncipherSetting(std::string_view plain) {
  return plain.empty() ? std::string() : EncipherText(TCipherPurpose::Settings, plain);
}

std::string DecipherSetting(std::string_view stored) {
  if (stored.empty()) return {};
  // The Base64 decoder forgives anything; a stored secret must be exactly
  // what EncipherSetting wrote, so a hand-typed plain value is refused
  // instead of being used as garbage.
  if (!StrictBase64(stored)) throw ECfgError("Der Wert ist nicht verschl\xFCsselt");
  std::string plain = DecipherText(TCipherPurpose::Settings, stored);
  // Host names, logins, passwords and commands hold no control characters;
  // finding one means the value was enciphered with another pass phrase.
  for (const unsigned char c : plain)
    if (c < 0x20) throw ECfgError("Der Wert l\xE4sst sich nicht entschl\xFCsseln");
  return plain;
}

const TSettingDef& TSettings::Def(std::string_view key, TSettingType type) const {
  const TSettingDef* d = FindSetting(key);
  if (!d) throw std::logic_error("setting not in the catalogue: " + std::string(key));
  if (d->type != type) throw std::logic_error("setting read with another type: " + std::string(key));
  return *d;
}

std::string TSettings::String(std::string_view key) {
  return config_.GetStringDef(key, SettingDefaultText(Def(key, T::String), home_));
}

int32_t TSettings::Int(std::string_view key) {
  int64_t def = 0;
  regional::TryStrToInt(Def(key, T::Int).def, def);
  return config_.GetIntegerDef(key, static_cast<int32_t>(def));
}

bool TSettings::Bool(std::string_view key) { return config_.GetBoolDef(key, Def(key, T::Bool).def == "1"); }

std::string TSettings::Enc(std::string_view key) {
  return DecipherSetting(config_.GetStringDef(key, Def(key, T::Enc).def));
}

std::string TSettings::EncOrEmpty(std::string_view key) {
  try {
    return Enc(key);
  } catch (const ECfgError&) {
    return {};
  }
}

void TSettings::SetEnc(std::string_view key, std::string_view plain) {
  Def(key, T::Enc);
  config_.SetString(key, EncipherSetting(plain));
}

}  // namespace kv
