#include "run/net_box_run.h"

#include <string>

#include "gtest/gtest.h"
#include "net/test_peer.h"

namespace {

TEST(BoxLink, FailedReloadSendsNothing) {
  TestPeer p;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(ImageTransfer::kReloadFailed,
            network_image_transfer(p.tool(), "/nonexistent/box.pad", 5013, 0x00150000));
  EXPECT_EQ("", testing::internal::GetCapturedStdout()) << "no done lines";
  testing::internal::GetCapturedStderr();
  EXPECT_EQ("", p.heard());
}

}  // namespace
