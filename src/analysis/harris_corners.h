// Harris corners picked as cv::goodFeaturesToTrack picks them (3 x 3 blocks, k = 0.04), for a run of
// minimum distances tried from the largest down until enough corners are found. The response, its
// local maxima and their order do not depend on the distance, so they are computed once and only the
// spacing pass runs for each distance; the corners are exactly those of goodFeaturesToTrack at the
// distance that ended the run.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vendrix::analysis {

struct HarrisPlan {
  double quality;      // response threshold as a share of the image's strongest response
  int start_distance;  // minimum distance tried first (pixels)
  int enough;          // stop once more than this many corners were found
  int min_distance;    // never go below
};

// Fills `out` with at most `max_corners` corners of the 8-bit single-channel `image`, strongest first.
// Throws what OpenCV throws (cv::Exception, std::bad_alloc).
void HarrisCorners(const cv::Mat& image, const HarrisPlan& plan, int max_corners, std::vector<cv::Point2f>& out);

}  // namespace vendrix::analysis
