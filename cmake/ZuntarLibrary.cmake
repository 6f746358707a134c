# zuntar_library(NAME DEPS...): a static library made of every .cpp in the
# current folder (not its subfolders, which hold libraries of their own),
# with src/ as its include root.
function(zuntar_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  if(ARGN)
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# zuntar_test_suite(NAME DEPS...): one GoogleTest executable made of every .cpp
# in the current folder; each test becomes its own CTest entry.
function(zuntar_test_suite name)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "ZUNTAR_TEST_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
