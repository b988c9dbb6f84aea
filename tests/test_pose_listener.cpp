#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/pose_listener.h"

namespace {

// Sends one datagram to the listener and lets it handle it; returns what it printed.
std::string deliver(UDPServer& listener, UDPClient& sender, const std::string& datagram) {
  EXPECT_EQ(sender.send_message(datagram), static_cast<ssize_t>(datagram.size()));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(listener.receiveOne(true));
  return testing::internal::GetCapturedStdout();
}

// The line after "Received packet from ...": the datagram as printed.
std::string printedDatagram(const std::string& out) {
  size_t start = out.find('\n');
  size_t end = out.find('\n', start + 1);
  return out.substr(start + 1, end - start - 1);
}

void resetPose() {
  _in_x = 1.0f;
  _in_y = 0.0f;
  _in_z = 0.0f;
  _in_w = 1.0f;
}

}  // namespace

TEST(Split, LineReadingRule) {
  EXPECT_EQ(split("a//b/", '/'), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(split("", '/'), std::vector<std::string>{});
  EXPECT_EQ(split("/quat/1", '/'), (std::vector<std::string>{"", "quat", "1"}));
}

TEST(PoseListener, DatagramsOnLoopback) {
  UDPServer listener(0, "127.0.0.1");
  ASSERT_EQ(listener.socket_bind(), 0);
  UDPClient sender(listener.boundPort(), "127.0.0.1");
  resetPose();

  std::string out = deliver(listener, sender, "/quat/1/2/3/4");
  EXPECT_EQ(out.rfind("Received packet from 127.0.0.1:", 0), 0u) << out;
  EXPECT_EQ(printedDatagram(out), "/quat/1/2/3/4");
  EXPECT_NE(out.find("path[1]: quat\n"), std::string::npos) << out;
  EXPECT_EQ(_in_x, 1.0f);
  EXPECT_EQ(_in_y, 2.0f);
  EXPECT_EQ(_in_z, 3.0f);
  EXPECT_EQ(_in_w, 4.0f);

  // A shorter datagram after a longer one shows nothing of the first.
  out = deliver(listener, sender, "/z");
  EXPECT_EQ(printedDatagram(out), "/z");
  EXPECT_NE(out.find("path[1]: z\n"), std::string::npos) << out;

  out = deliver(listener, sender, "/quat/ 0.5abc/2/3/4");
  EXPECT_EQ(_in_x, 0.5f);

  out = deliver(listener, sender, "/hello/9/9/9/9");
  EXPECT_NE(out.find("path[1]: hello\n"), std::string::npos) << out;
  EXPECT_EQ(_in_x, 0.5f);
  EXPECT_EQ(_in_w, 4.0f);
}

// Hostile datagrams: a bad field stops the update where it is, and nothing
// is read past the datagram.
TEST(PoseListener, MalformedDatagramsAreRejected) {
  UDPServer listener(0, "127.0.0.1");
  ASSERT_EQ(listener.socket_bind(), 0);
  UDPClient sender(listener.boundPort(), "127.0.0.1");
  resetPose();

  std::string out = deliver(listener, sender, "/quat/7/abc/3/4");
  EXPECT_NE(out.find("quat field 3 is not a float"), std::string::npos) << out;
  EXPECT_EQ(_in_x, 7.0f);
  EXPECT_EQ(_in_y, 0.0f);

  out = deliver(listener, sender, "/quat/8");
  EXPECT_NE(out.find("quat field 3 missing"), std::string::npos) << out;
  EXPECT_EQ(_in_x, 8.0f);

  out = deliver(listener, sender, "/quat/1e999/1/1/1");
  EXPECT_EQ(_in_x, 8.0f);

  out = deliver(listener, sender, "noslash");
  EXPECT_NE(out.find("no kind"), std::string::npos) << out;

  // A datagram longer than the receive buffer is cut to 512 bytes.
  out = deliver(listener, sender, "/quat/5/6/7/8/" + std::string(1000, 'x'));
  EXPECT_EQ(printedDatagram(out).size(), 512u);
  EXPECT_EQ(_in_w, 8.0f);
}
