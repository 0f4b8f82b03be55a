// libFuzzer target for the formula language (needs kvformula and kvcore):
// normalising, checking and evaluating any text must never crash, hang or
// raise anything but an evaluation failure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "formula/arith.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kv::TArith arith;
  arith.Randomize(1);
  arith.Variables().SetValue("X", kv::TVariant(2.5));
  arith.Variables().SetValue("N", kv::TVariant("Fritz"));
  arith.Variables().SetValue("S", kv::TVariant("SUM(S;1;2)"));  // a SUM text that calls itself
  const auto evaluate = [&](std::string_view text) {
    try {
      (void)kv::ArithValueToText(arith.Evaluate(text));
    } catch (const kv::EArithError&) {
      // An evaluation failure is a proper answer; anything else escapes and
      // is reported by the fuzzer.
    }
  };
  const std::string text = kv::TArith::Normalize(input);
  (void)kv::TArith::CheckSyntax(text);
  evaluate(text);   // callers evaluate accepted formulas; SUM evaluates unchecked ones
  evaluate(input);  // text that was never normalised
  return 0;
}
