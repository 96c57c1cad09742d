# rs_library(NAME [STATIC|SHARED|MODULE] SOURCES ... LIBS ...)
#   A library of ours; `src/` is the include root for everything.
function(rs_library name)
  cmake_parse_arguments(A "STATIC;SHARED;MODULE" "" "SOURCES;LIBS" ${ARGN})
  set(kind STATIC)
  if(A_SHARED)
    set(kind SHARED)
  elseif(A_MODULE)
    set(kind MODULE)
  endif()
  add_library(${name} ${kind} ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${A_LIBS})
  if(kind STREQUAL MODULE)
    # A plug-in: lib/rs/NAME.so, in the build tree as installed.
    set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${RS_PLUGIN_DIR}
      INSTALL_RPATH "$ORIGIN/..")
  endif()
endfunction()

# rs_test(NAME SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...] [LOCK name])
#   A GoogleTest executable under build/tests, its cases discovered at test time.
#   LOCK: cases of every test sharing the name never run at the same time
#   (they share something outside the process, such as a cluster on fixed ports).
#   Tests see RS_TEST_BUILD_DIR / RS_TEST_SOURCE_DIR (macros) and RS_BUILD_DIR (environment).
function(rs_test name)
  cmake_parse_arguments(A "" "TIMEOUT;LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  # The tree locations reach the tests as macros; the build tree also as RS_BUILD_DIR
  # in the environment (one variable only: a list would be split by gtest_discover_tests).
  target_compile_definitions(${name} PRIVATE
    RS_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}" RS_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(properties TIMEOUT ${A_TIMEOUT}
      ENVIRONMENT "RS_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(A_LABELS)
    list(APPEND properties LABELS "${A_LABELS}")
  endif()
  if(A_LOCK)
    list(APPEND properties RESOURCE_LOCK ${A_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
endfunction()

# rs_bench(NAME SOURCES ... LIBS ...)
#   A Google Benchmark executable under build/bench.
function(rs_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TARGET benchmark::benchmark)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/bench ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# Adds every immediate subdirectory that has a CMakeLists.txt, in name order.
# Parents of components owned by different people use it, so that adding a
# component never means editing the parent.
function(rs_add_subdirs)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
