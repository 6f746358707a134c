# cmake -DCHECKER=CheckLayers.cmake -DWORK=DIR -P layer_check_test.cmake
#
# Three libraries, low → mid → high, each in its folder under WORK/src, with
# a folder of shared test helpers that belongs to no library.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK})
set(root ${WORK}/src)
file(WRITE ${root}/low/low.h "#pragma once\n")
file(WRITE ${root}/low/low.cpp "#include \"low/low.h\"\n#include <vector>\n#include \"support/helper.h\"\n")
file(WRITE ${root}/mid/mid.h "#pragma once\n#include \"low/low.h\"\n")
file(WRITE ${root}/high/high.h "#pragma once\n#include \"mid/mid.h\"\n")
file(WRITE ${root}/high/high.cpp "#include \"high/high.h\"\n#include \"low/low.h\"\n")
file(WRITE ${root}/support/helper.h "#pragma once\n#include \"high/high.h\"\n")
file(WRITE ${WORK}/rules.txt "${root}/low=${root}/low\n${root}/mid=${root}/mid|${root}/low\n"
                             "${root}/high=${root}/high|${root}/mid|${root}/low\n")

function(run_check expect_ok what)
  execute_process(COMMAND ${CMAKE_COMMAND} -DRULES=${WORK}/rules.txt -DINCLUDE_ROOT=${root} ${layer_check_args}
                          -P ${CHECKER}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expect_ok AND NOT rc EQUAL 0)
    message(FATAL_ERROR "${what}: refused\n${out}${err}")
  elseif(NOT expect_ok AND rc EQUAL 0)
    message(FATAL_ERROR "${what}: passed")
  endif()
  set(report "${out}${err}" PARENT_SCOPE)
endfunction()

# Downward includes, a dependency's dependency, headers of no library.
run_check(TRUE "a tree that keeps its layers")

# Upward, from a header and from a source, however the directive is spaced.
file(WRITE ${root}/low/low.h "#pragma once\n  #  include \"mid/mid.h\"\n")
file(APPEND ${root}/mid/mid.cpp "#include \"high/high.h\"\n")
run_check(FALSE "upward includes")
foreach(expected "low/low.h includes mid/mid.h" "mid/mid.cpp includes high/high.h")
  string(FIND "${report}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report does not name \"${expected}\":\n${report}")
  endif()
endforeach()
string(FIND "${report}" "high.cpp" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "an allowed include was reported:\n${report}")
endif()

# Sideways between two libraries neither of which links the other.
file(WRITE ${root}/low/low.h "#pragma once\n")
file(REMOVE ${root}/mid/mid.cpp)
file(WRITE ${root}/side/side.h "#pragma once\n")
file(WRITE ${root}/side/side.cpp "#include \"low/low.h\"\n")
file(APPEND ${WORK}/rules.txt "${root}/side=${root}/side\n")
run_check(FALSE "a sideways include")

# OpenSSL's headers only in or below the folder named for them.
file(REMOVE_RECURSE ${root}/side)
file(WRITE ${WORK}/rules.txt "${root}/low=${root}/low\n${root}/low/ssl=${root}/low/ssl|${root}/low\n"
                             "${root}/mid=${root}/mid|${root}/low\n")
file(WRITE ${root}/low/ssl/wrap.cpp "#include <openssl/evp.h>\n")
file(WRITE ${root}/mid/mid.cpp "#include <vector>\n# include <openssl/x509.h>\n")
set(layer_check_args -DOPENSSL_FOLDER=${root}/low)
run_check(FALSE "OpenSSL outside its folder")
string(FIND "${report}" "mid/mid.cpp includes <openssl/x509.h>" at)
string(FIND "${report}" "wrap.cpp" at_inside)
if(at EQUAL -1 OR NOT at_inside EQUAL -1)
  message(FATAL_ERROR "OpenSSL's includes misreported:\n${report}")
endif()
