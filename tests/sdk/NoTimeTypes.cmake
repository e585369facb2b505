# The headers that plugins compile against name no time type: the camera build's 64-bit time_t
# must not change any record that crosses the plugin boundary.
foreach(header IN LISTS HEADERS)
  file(READ ${SOURCE_DIR}/${header} text)
  string(REGEX MATCH "time_t|timespec|timeval|suseconds_t|clock_t|off_t|struct stat|<ctime>|<time\\.h>|<chrono>|<sys/types\\.h>" found "${text}")
  if(found)
    message(FATAL_ERROR "${header} uses ${found}")
  endif()
endforeach()
