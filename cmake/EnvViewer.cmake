# Build conventions shared by every target of the tree.

set(ENV_WARNINGS -Wall -Wextra)
set(ENV_SANITIZE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)

if(ENVVIEWER_SANITIZE)
    add_compile_options(${ENV_SANITIZE_FLAGS})
    add_link_options(${ENV_SANITIZE_FLAGS})
endif()
# A fuzz target links the libraries it exercises: libFuzzer's coverage must reach into them.
if(ENVVIEWER_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Our own code compiles with warnings on; generated code (moc, uic) is not ours.
function(env_warnings target)
    target_compile_options(${target} PRIVATE ${ENV_WARNINGS})
endfunction()

# A static library of shared code, compiled once and linked by programs and tests.
# env_add_library(name SOURCES ... LIBS ...)
function(env_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    env_warnings(${name})
endfunction()

# The environment every test runs in: Qt offscreen and, in a sanitizer build, the sanitizers'
# options.
function(env_test_environment out)
    set(env "QT_QPA_PLATFORM=offscreen")
    if(ENVVIEWER_SANITIZE)
        list(APPEND env
            "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1"
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
            "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
            # Where Video4Linux finds no camera, OpenCV's default back end probes gphoto2, whose
            # camera drivers leak and are unloaded again, so that no suppression can name them:
            # these runs load none.
            "CAMLIBS=${PROJECT_BINARY_DIR}/no-gphoto2-camlibs")
    endif()
    set(${out} "${env}" PARENT_SCOPE)
endfunction()

# A QtTest executable registered with CTest, run headless.
# env_add_test(name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
function(env_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    env_warnings(${name})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    env_test_environment(env)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${env}"
        LABELS "${ARG_LABELS}")
endfunction()

# Adds every listed subdirectory; a listed one without a CMakeLists.txt is a mistake.
macro(env_add_subdirectories)
    foreach(sub ${ARGN})
        if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/CMakeLists.txt)
            message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${sub} has no CMakeLists.txt")
        endif()
        add_subdirectory(${sub})
    endforeach()
endmacro()
