// The score formula is evaluated for every player on every statistics page;
// these measure the default formula with its placeholders filled in.
#include <benchmark/benchmark.h>

#include <string>

#include "formula/arith.h"

namespace {

const std::string kScore =
    kv::TArith::Normalize("IIF((25>20);((((300 - 100) * (300/100))/25) * 10000);\"not enough maps played\")");

void BM_FormulaCheck(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(kv::TArith::CheckSyntax(kScore));
}
BENCHMARK(BM_FormulaCheck);

// What a caller does per player: a fresh instance, check, evaluate.
void BM_FormulaScore(benchmark::State& state) {
  for (auto _ : state) {
    kv::TArith arith;
    if (!kv::TArith::CheckSyntax(kScore).empty()) state.SkipWithError("formula rejected");
    benchmark::DoNotOptimize(arith.Evaluate(kScore));
  }
}
BENCHMARK(BM_FormulaScore);

void BM_FormulaEvaluate(benchmark::State& state) {
  kv::TArith arith;
  for (auto _ : state) benchmark::DoNotOptimize(arith.Evaluate(kScore));
}
BENCHMARK(BM_FormulaEvaluate);

void BM_FormulaSum(benchmark::State& state) {
  kv::TArith arith;
  const std::string sum = "SUM(\"@*2\";1;" + std::to_string(state.range(0)) + ")";
  for (auto _ : state) benchmark::DoNotOptimize(arith.Evaluate(sum));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FormulaSum)->Arg(1000);

}  // namespace
