#include "formats/variant.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(Variant, Conversions) {
  EXPECT_EQ(TVariant(2.5).AsString(), "2,5");
  EXPECT_EQ(TVariant(true).AsString(), "True");
  EXPECT_EQ(TVariant(true).AsInteger(), -1);
  EXPECT_EQ(TVariant("2,5").AsDouble(), 2.5);
  EXPECT_EQ(TVariant(2.5).AsInteger(), 2);  // ties to even
  EXPECT_EQ(TVariant(3.5).AsInteger(), 4);
  EXPECT_EQ(TVariant::Currency(25000).AsString(), "2,5");
  EXPECT_EQ(TVariant::Date(37979.75).AsString(), "24.12.2003 18:00:00");
  EXPECT_TRUE(TVariant("false").AsBool() == false);
  EXPECT_THROW(TVariant("abc").AsInteger(), EVariantError);
  EXPECT_THROW(TVariant::Null().AsDouble(), EVariantError);
  EXPECT_EQ(TVariant().AsString(), "");
}

}  // namespace
}  // namespace kv
