// What the remote administration reaches of the service's other parts: the
// configuration sets and the skin check list, behind the interfaces its
// commands take.
#pragma once

#include <memory>

#include "remoteadmin/commands.h"

namespace kv {

class TMohaaConfigList;
class TSkinLists;

std::shared_ptr<TRemoteConfigSets> RemoteConfigSets(TMohaaConfigList& sets);
std::shared_ptr<TRemoteSkinList> RemoteSkinList(TSkinLists& skins);

}  // namespace kv
