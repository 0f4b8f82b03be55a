// Variable-list save and load of a 200-variable list, as a player record or
// a remote-administration packet body would hold.
#include <benchmark/benchmark.h>

#include "formats/varlist.h"

namespace {

kv::TVarList MakeList() {
  kv::TVarList list;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "Var" + std::to_string(i);
    switch (i % 5) {
      case 0: list.SetValue(name, i * 1000); break;
      case 1: list.SetValue(name, i * 0.25); break;
      case 2: list.SetValue(name, "Player" + std::to_string(i)); break;
      case 3: list.SetValue(name, kv::TVariant::Date(45000.5 + i)); break;
      default: list.SetValue(name, i % 2 == 0); break;
    }
  }
  return list;
}

void BM_VarListSave200(benchmark::State& state) {
  const kv::TVarList list = MakeList();
  for (auto _ : state) {
    kv::TMemoryStream s;
    list.SaveToStream(s);
    benchmark::DoNotOptimize(s.Size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VarListSave200);

void BM_VarListLoad200(benchmark::State& state) {
  kv::TMemoryStream s;
  MakeList().SaveToStream(s);
  for (auto _ : state) {
    s.Seek(0);
    kv::TVarList list;
    list.LoadFromStream(s);
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VarListLoad200);

}  // namespace
