# Shared settings for every target of the project: warnings are errors, and the
# sanitizer build instruments everything (libraries, programs and tests alike).
add_library(tallowin_settings INTERFACE)
target_compile_options(tallowin_settings INTERFACE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
target_compile_definitions(tallowin_settings INTERFACE
    TALLOWIN_VERSION="${PROJECT_VERSION}"
    TALLOWIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
if(TALLOWIN_SANITIZE AND TALLOWIN_SANITIZE_THREADS)
    message(FATAL_ERROR "TALLOWIN_SANITIZE and TALLOWIN_SANITIZE_THREADS exclude each other")
endif()
if(TALLOWIN_SANITIZE)
    target_compile_options(tallowin_settings INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(tallowin_settings INTERFACE -fsanitize=address,undefined)
endif()
if(TALLOWIN_SANITIZE_THREADS)
    # GCC 12 warns that ThreadSanitizer does not model std::atomic_thread_fence; the project uses
    # none itself, and the warning comes from library headers.
    target_compile_options(tallowin_settings INTERFACE -fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
    target_link_options(tallowin_settings INTERFACE -fsanitize=thread)
endif()

# tallowin_suppress_qt_races(TARGET ...): in a ThreadSanitizer build, a program that uses Qt
# stops only for races outside the uninstrumented Qt and GLib libraries.
function(tallowin_suppress_qt_races)
    if(TALLOWIN_SANITIZE_THREADS)
        foreach(target IN LISTS ARGN)
            target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/QtThreadSanitizerSuppressions.cpp)
        endforeach()
    endif()
endfunction()

# tallowin_add_library(NAME SOURCES ... LINKS ...): one layer = one static library.
function(tallowin_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS;PRIVATE_LINKS" ${ARGN})
    add_library(tallowin_${name} STATIC ${ARG_SOURCES})
    add_library(Tallowin::${name} ALIAS tallowin_${name})
    target_include_directories(tallowin_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tallowin_${name} PUBLIC tallowin_settings ${ARG_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
endfunction()

# tallowin_add_test(NAME SOURCES ... LINKS ... [PROPERTIES ...]): one GoogleTest program, each
# test a CTest case. Programs that touch the real disk pass PROPERTIES RESOURCE_LOCK real_disk so
# that their measurements are not disturbed by each other under ctest -j.
function(tallowin_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE tallowin_settings ${ARG_LINKS} GTest::gmock GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE TALLOWIN_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
    # A GoogleTest skip exits 0; without the pattern ctest would count it as passed. Each case is
    # labelled with its layer's folder so that a configuration can run a chosen set of layers.
    cmake_path(GET CMAKE_CURRENT_SOURCE_DIR FILENAME layer)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 300 LABELS ${layer} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" ${ARG_PROPERTIES})
endfunction()

# tallowin_add_benchmark(NAME SOURCES ... LINKS ...): a Google Benchmark program. Measurements are
# run by hand on a quiet machine, never asserted on in tests.
function(tallowin_add_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE tallowin_settings ${ARG_LINKS} benchmark::benchmark)
    target_compile_definitions(${name} PRIVATE TALLOWIN_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
endfunction()
