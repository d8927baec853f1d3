# Debian splits OpenCV per module and ships its CMake package only with the full libopencv-dev; the
# library needs just four modules, so they are located directly and offered as Vendrix::OpenCV.
find_path(VENDRIX_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(vendrix_opencv INTERFACE)
add_library(Vendrix::OpenCV ALIAS vendrix_opencv)
target_include_directories(vendrix_opencv SYSTEM INTERFACE ${VENDRIX_OPENCV_INCLUDE_DIR})
foreach(module calib3d video imgproc core)
  find_library(VENDRIX_OPENCV_${module} NAMES opencv_${module} REQUIRED)
  target_link_libraries(vendrix_opencv INTERFACE ${VENDRIX_OPENCV_${module}})
endforeach()
