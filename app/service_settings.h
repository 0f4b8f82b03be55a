// The settings catalogue as this build knows it, for users of the
// catalogue that run no service (kvtool, tests): a service registers the
// rows of the parts in its list as it builds them.
#pragma once

namespace kv {

// Registers the table of every part this build has (the rows without an
// owner are in the catalogue anyway). Any thread; repeating it is harmless.
void RegisterKnownSettingRows();

}  // namespace kv
