// The compile-time check of request items against their signature: the
// exact types each conversion reads, the count of items, and signatures that
// are not made of known conversions. The request table applies the same check
// to every call when it compiles.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "cmn/defines.h"
#include "csa/csasignature.h"

TARN_RCSID("cs/csa/test/signature_test.cpp");

namespace {

using csa_detail::SignatureTakes;
using csa_detail::WellFormedSignature;

// Rows of the request table as they are called.
static_assert(SignatureTakes<>(""));
static_assert(SignatureTakes<int>("%d"));
static_assert(SignatureTakes<int, const char*, int>("%d%s%d"));
static_assert(SignatureTakes<const char*, unsigned>("%s%u"));
static_assert(SignatureTakes<const char*, int, int, int, const char*, const char*, const char*>(
    "%s%d%d%d%s%s%s"));
static_assert(
    SignatureTakes<char*, unsigned long, std::uint64_t, double, const void*>("%s%l%O%f%p"));

// Each conversion reads one exact type: no sign change, no promotion, no
// width change, no pointer for a number or a number for a text.
static_assert(!SignatureTakes<unsigned>("%d"));
static_assert(!SignatureTakes<int>("%u"));
static_assert(!SignatureTakes<bool>("%d"));
static_assert(!SignatureTakes<char>("%d"));
static_assert(!SignatureTakes<long long>("%d"));
static_assert(!SignatureTakes<std::size_t>("%u"));
static_assert(!SignatureTakes<float>("%f"));
static_assert(!SignatureTakes<int>("%s"));
static_assert(!SignatureTakes<const char*>("%d"));
static_assert(!SignatureTakes<decltype(nullptr)>("%s"));
static_assert(!SignatureTakes<const char*>("%p"));
static_assert(!SignatureTakes<const int*>("%p"));

// One item per conversion, in order.
static_assert(!SignatureTakes<>("%d"));
static_assert(!SignatureTakes<int>(""));
static_assert(!SignatureTakes<int, int>("%d"));
static_assert(!SignatureTakes<int>("%d%d"));
static_assert(!SignatureTakes<const char*, int>("%d%s"));

// Signatures that StrMsgFAppend would refuse or misread never match.
static_assert(WellFormedSignature(""));
static_assert(WellFormedSignature("%s%d%u%l%O%f%p"));
static_assert(!WellFormedSignature(nullptr));
static_assert(!WellFormedSignature("%x"));
static_assert(!WellFormedSignature("%"));
static_assert(!WellFormedSignature("d"));
static_assert(!WellFormedSignature("%d%"));
static_assert(!WellFormedSignature("%d %s"));
static_assert(!SignatureTakes<int>(nullptr));
static_assert(!SignatureTakes<int>("%x"));
static_assert(!SignatureTakes<int>("xd"));

TEST(SignatureTest, ChecksSignaturesMadeAtRunTimeAsWell) {
  std::string signature = "%s";
  signature += "%d";
  EXPECT_TRUE((SignatureTakes<const char*, int>(signature.c_str())));
  EXPECT_FALSE((SignatureTakes<const char*, unsigned>(signature.c_str())));
  signature += "%";
  EXPECT_FALSE(WellFormedSignature(signature.c_str()));
}

}  // namespace
