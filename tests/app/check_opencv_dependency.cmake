# cmake -DPROGRAM=<executable> -DEXPECT_OPENCV=ON|OFF -P check_opencv_dependency.cmake
# Fails unless the program's libraries, as the dynamic loader resolves them (ldd), and its own
# needed entries (readelf -d) contain an OpenCV library exactly when EXPECT_OPENCV is ON.

if(NOT PROGRAM OR NOT EXISTS "${PROGRAM}")
    message(FATAL_ERROR "no program to check: '${PROGRAM}'")
endif()

find_program(LDD ldd)
find_program(READELF readelf)
if(NOT LDD OR NOT READELF)
    message(FATAL_ERROR "ldd and readelf are needed to check '${PROGRAM}'")
endif()

execute_process(COMMAND ${READELF} -d "${PROGRAM}" OUTPUT_VARIABLE needed RESULT_VARIABLE failed)
if(failed OR NOT needed MATCHES "NEEDED")
    message(FATAL_ERROR "readelf could not list the libraries of '${PROGRAM}'")
endif()
execute_process(COMMAND ${LDD} "${PROGRAM}" OUTPUT_VARIABLE resolved RESULT_VARIABLE failed)
if(failed OR NOT resolved MATCHES "libc\\.so")
    message(FATAL_ERROR "ldd could not resolve the libraries of '${PROGRAM}'")
endif()

string(REGEX MATCHALL "libopencv_[A-Za-z0-9_.+-]*" opencv "${needed}\n${resolved}")
list(REMOVE_DUPLICATES opencv)

if(EXPECT_OPENCV AND NOT opencv)
    message(FATAL_ERROR "'${PROGRAM}' should link OpenCV but depends on none of its libraries")
elseif(NOT EXPECT_OPENCV AND opencv)
    message(FATAL_ERROR "'${PROGRAM}' depends on OpenCV: ${opencv}")
endif()
if(NOT opencv)
    set(opencv "none")
endif()
message(STATUS "'${PROGRAM}': OpenCV libraries: ${opencv}")
