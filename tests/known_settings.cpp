// Linked into the test binaries of the parts that read settings: the
// catalogue holds every part's rows before the first test runs, as it does
// for kvtool. (A service registers the rows of the parts in its list;
// tests/domain/subsystem_test.cpp shows that.)
#include "app/service_settings.h"

namespace {

const bool kRegistered = (kv::RegisterKnownSettingRows(), true);

}  // namespace
