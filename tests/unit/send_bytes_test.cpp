#include <gtest/gtest.h>

#include <string>

#include "serial/send_bytes.h"
#include "support/fake_port.h"

namespace {

const std::uint8_t kProbe[] = {'D', 'E', 'D', 'E', 'D', 'E'};

TEST(SendBytes, WholeWriteIsSilent) {
  FakePort port;
  port.Open("com1");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(SendBytes(port, kProbe, sizeof kProbe));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(port.Written(), FakePort::Bytes(kProbe, kProbe + 6));
}

TEST(SendBytes, ShortOrFailedWriteIsReportedButStillTrue) {
  FakePort port;
  port.Open("com1");
  port.writeLimit = 4;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(SendBytes(port, kProbe, sizeof kProbe));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: WriteFile() error.. Bytes Sent: 4; Message Length: 6\n");

  FakePort closed;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(SendBytes(closed, kProbe, sizeof kProbe));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: WriteFile() error.. Bytes Sent: 0; Message Length: 6\n");
}

}  // namespace
