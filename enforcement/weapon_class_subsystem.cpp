#include "enforcement/weapon_class_subsystem.h"

namespace kv {

void TWeaponClassSubsystem::ApplySettings(TSettings& settings) {
  TWeaponClassifier::TExpressions e;
  for (int c = 0; c < kWeaponClassCount; ++c) e[c] = settings.String(TWeaponClassifier::SettingKey(c));
  classifier_.SetExpressions(e);
}

}  // namespace kv
