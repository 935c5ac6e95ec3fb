// Branding library stand-in: fixed brand texts by number, so version lines
// read the same in every build of the product.
#include "pipit/pipit.h"

[[maybe_unused]] static const char rcsId[] = "$Source: /src/platform/pipit/pipit.cpp 1.0 $";

namespace {

struct BrandText {
  int number;
  const char* text;
};

constexpr BrandText kBrandTexts[] = {
    {4, "Tarn"},
    {95, "Backup A.01.00"},
};

}  // namespace

const char* GetBrandString(int number) {
  for (const BrandText& brand : kBrandTexts) {
    if (brand.number == number) return brand.text;
  }
  return "";
}
