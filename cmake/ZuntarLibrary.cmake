# zuntar_library(NAME DEPS...): a static library made of every .cpp in the
# current folder (not its subfolders, which hold libraries of their own),
# with src/ as its include root. The folder is the library's: the layer
# check below holds every file in it to the library's dependencies.
function(zuntar_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  if(ARGN)
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
  set_property(TARGET ${name} PROPERTY ZUNTAR_FOLDER ${CMAKE_CURRENT_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY ZUNTAR_LIBRARIES ${name})
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

# The zuntar libraries `target` links, directly or through other targets
# (an INTERFACE library that gathers several, for example).
function(_zuntar_reachable_libraries target out)
  set(seen "")
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending current)
    get_target_property(type ${current} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${current} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(links ${current} LINK_LIBRARIES)
    endif()
    foreach(link IN LISTS links)
      if(TARGET ${link} AND NOT link IN_LIST seen)
        get_target_property(imported ${link} IMPORTED)
        if(NOT imported)
          list(APPEND seen ${link})
          list(APPEND pending ${link})
        endif()
      endif()
    endforeach()
  endwhile()
  set(reachable "")
  foreach(link IN LISTS seen)
    get_target_property(folder ${link} ZUNTAR_FOLDER)
    if(folder)
      list(APPEND reachable ${link})
    endif()
  endforeach()
  set(${out} ${reachable} PARENT_SCOPE)
endfunction()

# zuntar_layer_check(): part of every build, after all libraries are
# declared. A file of a library may include project headers only from its
# own folder and from the folders of the libraries it links; the linker
# alone would miss a wrong-way include of declarations or inline code.
function(zuntar_layer_check)
  get_property(libraries GLOBAL PROPERTY ZUNTAR_LIBRARIES)
  set(rules "")
  set(files "")
  foreach(library IN LISTS libraries)
    _zuntar_reachable_libraries(${library} reachable)
    get_target_property(folder ${library} ZUNTAR_FOLDER)
    set(allowed ${folder})
    foreach(dependency IN LISTS reachable)
      get_target_property(dependency_folder ${dependency} ZUNTAR_FOLDER)
      list(APPEND allowed ${dependency_folder})
    endforeach()
    list(JOIN allowed "|" allowed)
    string(APPEND rules "${folder}=${allowed}\n")
    file(GLOB own CONFIGURE_DEPENDS ${folder}/*.h ${folder}/*.cpp)
    list(APPEND files ${own})
  endforeach()
  set(rules_file ${PROJECT_BINARY_DIR}/zuntar_layers.txt)
  # Rewritten only when the rules change, so that a configure run alone
  # does not repeat the check.
  file(CONFIGURE OUTPUT ${rules_file} CONTENT "${rules}" @ONLY)
  set(stamp ${PROJECT_BINARY_DIR}/zuntar_layers.stamp)
  # The folder whose libraries alone may include OpenSSL's headers.
  get_property(openssl_folder GLOBAL PROPERTY ZUNTAR_OPENSSL_FOLDER)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DRULES=${rules_file} -DINCLUDE_ROOT=${PROJECT_SOURCE_DIR}/src
            -DOPENSSL_FOLDER=${openssl_folder} -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${files} ${rules_file} ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake
    COMMENT "Checking the includes of each library against its layer"
    VERBATIM)
  add_custom_target(zuntar_layer_check ALL DEPENDS ${stamp})
endfunction()
