// The client service's request and answer: their bytes, and what is refused.
#include "codec/agentlaunch.h"

#include <gtest/gtest.h>

#include "tarn_test.h"

namespace tarn::standin {
namespace {

TEST(AgentLaunch, RequestBytesAndRoundTrip) {
  const LaunchRequest r{"/k", {"-incr"}, {"A=1"}, "-backup", 5};
  const std::string bytes = EncodeMessage(EncodeLaunchRequest(r));
  EXPECT_EQ(bytes, std::string("7001\0 /k\0 5\0 -backup\0 1\0 -incr\0 A=1\0\0", 37));
  EXPECT_EQ(ParseLaunchRequest(*ParseMessage(bytes)), r);
}

TEST(AgentLaunch, ResultBytesAndRoundTrip) {
  const LaunchResult r{LaunchResult::End::kExited, 2, std::string("a\0b", 3)};
  const std::string bytes = EncodeMessage(EncodeLaunchResult(r));
  EXPECT_EQ(bytes, std::string("7002\0 exit\0 2\0 a?b\0\0", 20));
  const LaunchResult back = *ParseLaunchResult(*ParseMessage(bytes));
  EXPECT_EQ(back.end, LaunchResult::End::kExited);
  EXPECT_EQ(back.output, "a?b");
}

TEST(AgentLaunch, MalformedRequestsAreRefused) {
  const Message bad[] = {
      {7001, {"/k", "5", ""}},                   // no count
      {7001, {"/k", "0", "", "0"}},              // timeout out of range
      {7001, {"/k", "5", "", "2", "a"}},         // fewer arguments than counted
      {7001, {"/k", "5", "", "0", "NOEQUALS"}},  // a setting without '='
      {7001, {"", "5", "", "0"}},                // no program
      {7002, {"/k", "5", "", "0"}},              // another code
  };
  for (const Message& m : bad) EXPECT_FALSE(ParseLaunchRequest(m)) << m.items.size();
  EXPECT_FALSE(ParseLaunchResult(Message{7002, {"gone", "0", ""}}));
}

}  // namespace
}  // namespace tarn::standin
