// The pose message as clients read it: the schema's fields in their order, exact doubles, null for numbers
// that are not finite, and valid UTF-8 JSON whatever bytes a picture's name has.
#include <gtest/gtest.h>

#include <cmath>

#include "stream/pose_message.h"

namespace quorl {
namespace {

TEST(PoseMessage, WritesTheSchemaFieldsWithExactNumbersAndValidUtf8) {
  TargetReport tracked;
  tracked.name = "caf\xe9";  // Latin-1
  tracked.state = TrackingState::Tracking;
  tracked.corners = {cv::Point2d(1.5, 2), cv::Point2d(3, 4), cv::Point2d(5, 6), cv::Point2d(7, std::nan(""))};
  tracked.homography = cv::Matx33d::eye();
  tracked.pose = cv::Matx44d(1, 0, 0, 0.1, 0, 1, 0, 0.2, 0, 0, 1, 0.30000000000000004, 0, 0, 0, 1);
  tracked.matches = 5;
  tracked.inliers = 4;
  TargetReport lost;
  lost.name = "a\"b\x01";
  lost.state = TrackingState::Lost;
  lost.corners.fill(cv::Point2d(-1, -1));
  FrameReport report;
  report.keypoints = 100;
  report.targets = {tracked, lost};
  EXPECT_EQ(PoseMessage(42, 1244.8354412345677, 320, 240, report),
            "{\"frame\":42,\"time\":1244.8354412345677,\"size\":[320,240],\"targets\":["
            "{\"name\":\"caf\xef\xbf\xbd\",\"state\":\"tracking\",\"corners\":[[1.5,2.0],[3.0,4.0],[5.0,6.0],[7.0,null]],"
            "\"homography\":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],"
            "\"pose\":{\"rotation\":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],\"translation\":[0.1,0.2,0.30000000000000004]},"
            "\"keypoints\":100,\"matches\":5,\"inliers\":4},"
            "{\"name\":\"a\\\"b\\u0001\",\"state\":\"lost\",\"corners\":[[-1.0,-1.0],[-1.0,-1.0],[-1.0,-1.0],[-1.0,-1.0]],"
            "\"homography\":[[0.0,0.0,0.0],[0.0,0.0,0.0],[0.0,0.0,0.0]],\"pose\":null,"
            "\"keypoints\":100,\"matches\":0,\"inliers\":0}]}");
}

}  // namespace
}  // namespace quorl
