# cmake -DPROGRAM=<envtool> -P check_envtool_libraries.cmake
# envtool runs on test stations without a display: of Qt it may use Core, SerialPort, Sql (the
# record store) and Gui (render paints offscreen, as the windows do) only, and nothing of OpenCV.
# Checked on the libraries as the dynamic loader resolves them.

if(NOT PROGRAM OR NOT EXISTS "${PROGRAM}")
    message(FATAL_ERROR "no program to check: '${PROGRAM}'")
endif()
find_program(LDD ldd)
if(NOT LDD)
    message(FATAL_ERROR "ldd is needed to check '${PROGRAM}'")
endif()
execute_process(COMMAND ${LDD} "${PROGRAM}" OUTPUT_VARIABLE resolved RESULT_VARIABLE failed)
if(failed OR NOT resolved MATCHES "libc\\.so")
    message(FATAL_ERROR "ldd could not resolve the libraries of '${PROGRAM}'")
endif()

string(REGEX MATCHALL "libQt5[A-Za-z]+" qt "${resolved}")
list(REMOVE_DUPLICATES qt)
list(SORT qt)
if(NOT qt STREQUAL "libQt5Core;libQt5Gui;libQt5SerialPort;libQt5Sql")
    message(FATAL_ERROR
        "'${PROGRAM}' uses Qt libraries ${qt}; only Core, Gui, SerialPort and Sql belong")
endif()
if(resolved MATCHES "libopencv_")
    message(FATAL_ERROR "'${PROGRAM}' depends on OpenCV")
endif()
message(STATUS "'${PROGRAM}': ${qt}")
