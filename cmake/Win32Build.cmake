# The Windows build (MinGW-w64, see mingw-w64.cmake): the meter core, the serial engine on the
# real Win32 API, the string tables as real resources, k419-decode.exe, and the tests of meter/
# and serial/ that do not open Linux pseudo-terminals themselves. Not the platform layer (Win32
# is the platform here), the window (no Qt for MinGW in Debian) or the simulator.
#
# Tools that run on the build machine come from a native build: K419_HOST_BUILD (./build by
# default) must hold resources/k419-str0c, and for the end-to-end test tools/k419-sim and
# tests/win32/libk419-ptyshim.so.
set(K419_HOST_BUILD ${PROJECT_SOURCE_DIR}/build CACHE PATH "Native build with the host tools")
set(k419_str0c ${K419_HOST_BUILD}/resources/k419-str0c)
if(NOT EXISTS ${k419_str0c})
  message(FATAL_ERROR "${k419_str0c} not found: build the native tree first (./run.sh or ./test.sh)")
endif()
enable_language(RC)
include(${PROJECT_SOURCE_DIR}/cmake/K419.cmake)

add_compile_options(-Wall -Wextra -Wpedantic)
# Windows 10 and later (SetThreadDescription is looked up at run time all the same).
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)

add_subdirectory(meter)

# The engine's platform hooks on Windows: thread names only.
add_library(k419_platform STATIC platform/win32/ThreadNames.cpp)
target_include_directories(k419_platform PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(k419_platform PUBLIC winmm)
add_subdirectory(serial)

# The string tables, compiled by the host's table compiler and bound into every executable as
# RCDATA resources, with the manifest that makes UTF-8 the programs' ANSI code page (the string
# store converts with CP_ACP).
set(rc_lines "")
foreach(table K419_STORE_STRINGS K419_ERROR_STRINGS_ENGLISH)
  set(compiled ${CMAKE_BINARY_DIR}/resources/${table}.str0)
  add_custom_command(
    OUTPUT ${compiled}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
    COMMAND ${k419_str0c} compile ${PROJECT_SOURCE_DIR}/resources/${table}.txt ${compiled}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/${table}.txt ${k419_str0c}
    COMMENT "Compiling string table ${table}"
    VERBATIM)
  list(APPEND compiled_tables ${compiled})
  string(APPEND rc_lines "${table} RCDATA \"${compiled}\"\n")
endforeach()
string(APPEND rc_lines "1 24 \"${PROJECT_SOURCE_DIR}/packaging/windows/k419.manifest\"\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/resources/k419.rc CONTENT "${rc_lines}")
set_source_files_properties(${CMAKE_BINARY_DIR}/resources/k419.rc PROPERTIES
  OBJECT_DEPENDS "${compiled_tables};${PROJECT_SOURCE_DIR}/packaging/windows/k419.manifest")
# An object library: resources in a static library would not be linked, nothing refers to them.
add_library(k419_resources OBJECT ${CMAKE_BINARY_DIR}/resources/k419.rc)

add_executable(k419-decode tools/k419_decode.cpp)
target_link_libraries(k419-decode PRIVATE k419_meter k419_resources)
target_compile_definitions(k419-decode PRIVATE K419_VERSION="${PROJECT_VERSION}")

if(K419_BUILD_TESTS)
  enable_testing()
  # GoogleTest from Debian's sources, built with the cross compiler.
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Open Linux pseudo-terminals themselves: Linux only.
  set(k419_linux_only_tests Win32DispatcherTest PortSelectionTest ComPortIntegrationTest
                            ComPortStressTest)
  foreach(folder meter serial)
    file(GLOB sources ${PROJECT_SOURCE_DIR}/tests/${folder}/*.cpp)
    foreach(name IN LISTS k419_linux_only_tests)
      list(FILTER sources EXCLUDE REGEX "/${name}\\.cpp$")
    endforeach()
    add_executable(test_${folder} ${sources})
    target_link_libraries(test_${folder} PRIVATE k419_${folder} k419_resources gmock gtest_main)
    target_include_directories(test_${folder} PRIVATE ${PROJECT_SOURCE_DIR}/tests
                                                      ${PROJECT_SOURCE_DIR}/tests/${folder})
    target_compile_definitions(test_${folder} PRIVATE
      K419_BINARY_DIR="${PROJECT_BINARY_DIR}" K419_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    # One CTest test per executable: each start of Wine costs about a second.
    add_test(NAME win32.test_${folder} COMMAND test_${folder})
    list(APPEND k419_wine_tests win32.test_${folder})
  endforeach()

  add_executable(test_wine_e2e ${PROJECT_SOURCE_DIR}/tests/win32/WineEndToEndTest.cpp)
  target_link_libraries(test_wine_e2e PRIVATE k419_serial k419_resources gtest_main)
  target_include_directories(test_wine_e2e PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME win32.end_to_end
    COMMAND ${PROJECT_SOURCE_DIR}/tests/win32/end-to-end.sh ${K419_HOST_BUILD}
            $<TARGET_FILE:test_wine_e2e>)
  # It restarts the prefix's wineserver: alone.
  set_tests_properties(win32.end_to_end PROPERTIES RUN_SERIAL ON)
  list(APPEND k419_wine_tests win32.end_to_end)

  # A prefix of the build's own, made once before the first test.
  set(wine_env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
               "WINEDLLOVERRIDES=mscoree,mshtml=" DISPLAY= WAYLAND_DISPLAY=)
  add_test(NAME win32.prefix COMMAND ${PROJECT_SOURCE_DIR}/tests/win32/wine-prefix.sh)
  set_tests_properties(win32.prefix PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_env}")
  set_tests_properties(${k419_wine_tests} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600
    ENVIRONMENT "${wine_env}")
endif()
