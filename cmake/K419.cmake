# k419_library(<target> [DEPS <targets>...] [INCLUDES <dirs>...])
# A static library from every .cpp of the calling folder (an interface target while
# the folder has no sources yet), with the repository root on the include path.
function(k419_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;INCLUDES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${target} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(${target} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope} ${PROJECT_SOURCE_DIR} ${ARG_INCLUDES})
  if(ARG_DEPS)
    target_link_libraries(${target} ${scope} ${ARG_DEPS})
  endif()
endfunction()

# k419_test(<name> <folder> DEPS <targets>...)
# One GoogleTest executable from every .cpp of tests/<folder>, registered with CTest.
function(k419_test name folder)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    K419_BINARY_DIR="${PROJECT_BINARY_DIR}"
    K419_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Each label list passes three rounds of list splitting on its way to the discovered tests
  # (this call, the generated include file, the per-test script); unescaped, only the first
  # label survives and the properties after it pair up wrongly.
  string(REPLACE ";" [[\\\\\\\;]] labels "${ARG_LABELS}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 300
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
