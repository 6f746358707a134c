# cmake -DRULES=FILE -DINCLUDE_ROOT=DIR [-DOPENSSL_FOLDER=DIR] -P CheckLayers.cmake
#
# RULES holds one line per library: its folder, "=", and the folders it may
# include from ("|" between them, its own first). Every `#include "x/y.h"` of
# a .h or .cpp directly in a library's folder whose header lies in another
# library's folder must name an allowed one. Headers outside every library's
# folder (system, tests) are not this check's business, except OpenSSL's:
# with OPENSSL_FOLDER, only libraries in or below it include <openssl/...>.
cmake_minimum_required(VERSION 3.25)

if(NOT RULES OR NOT INCLUDE_ROOT)
  message(FATAL_ERROR "usage: cmake -DRULES=FILE -DINCLUDE_ROOT=DIR -P CheckLayers.cmake")
endif()

file(STRINGS ${RULES} lines)
set(folders "")
foreach(line IN LISTS lines)
  string(FIND "${line}" "=" eq)
  string(SUBSTRING "${line}" 0 ${eq} folder)
  math(EXPR start "${eq} + 1")
  string(SUBSTRING "${line}" ${start} -1 allowed)
  string(REPLACE "|" ";" allowed "${allowed}")
  list(APPEND folders ${folder})
  string(MAKE_C_IDENTIFIER "${folder}" key)
  set(allowed_${key} ${allowed})
endforeach()

set(violations "")
foreach(folder IN LISTS folders)
  string(MAKE_C_IDENTIFIER "${folder}" key)
  file(GLOB files ${folder}/*.h ${folder}/*.cpp)
  set(openssl_refused FALSE)
  if(OPENSSL_FOLDER)
    string(FIND "${folder}/" "${OPENSSL_FOLDER}/" at)
    if(NOT at EQUAL 0)
      set(openssl_refused TRUE)
    endif()
  endif()
  foreach(file IN LISTS files)
    if(openssl_refused)
      file(STRINGS ${file} openssl_includes REGEX "^[ \t]*#[ \t]*include[ \t]*<openssl/")
      foreach(include IN LISTS openssl_includes)
        string(REGEX REPLACE "^[^<]*<([^>]+)>.*$" "\\1" header "${include}")
        file(RELATIVE_PATH where ${INCLUDE_ROOT} ${file})
        string(APPEND violations "  ${where} includes <${header}>, which stays inside the CryptoAPI stand-in\n")
      endforeach()
    endif()
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(include IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${include}")
      get_filename_component(header_folder ${INCLUDE_ROOT}/${header} DIRECTORY)
      if(header_folder IN_LIST folders AND NOT header_folder IN_LIST allowed_${key})
        file(RELATIVE_PATH where ${INCLUDE_ROOT} ${file})
        string(APPEND violations "  ${where} includes ${header}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "includes that go against the layers (a library may include only its own headers and "
                      "those of the libraries it links):\n${violations}")
endif()
