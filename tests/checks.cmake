# Checks beyond the unit tests, each registered with CTest:
#   header.<header>.<lang>  every public header compiles alone as C11 and C++17
#   c_host                  a plain C program drives the library through the umbrella header
#   example_hexdump         the example host dumps its sample file
#   exports                 the library exports exactly what the headers declare
#   install_consumer        an installed tree works with find_package and pkg-config

set(VANTO_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/core/include)
set(VANTO_CHECKS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/checks)
set(VANTO_CHECKS_WORK ${CMAKE_CURRENT_BINARY_DIR}/checks)
file(MAKE_DIRECTORY ${VANTO_CHECKS_WORK})

# Public headers --------------------------------------------------------------
# One translation unit per header and language, including the header twice (its
# guard must hold). The glob is redone at build time, so new headers are covered.
file(GLOB VANTO_PUBLIC_HEADERS CONFIGURE_DEPENDS RELATIVE ${VANTO_INCLUDE_DIR}
  ${VANTO_INCLUDE_DIR}/vanto_edit/*.h)
list(PREPEND VANTO_PUBLIC_HEADERS vanto_edit.h)
set(VANTO_HEADER_FLAGS -Wall -Wextra -Wpedantic -Werror -I${VANTO_INCLUDE_DIR})
foreach(header IN LISTS VANTO_PUBLIC_HEADERS)
  string(MAKE_C_IDENTIFIER ${header} id)
  foreach(lang c11 c++17)
    if(lang STREQUAL "c11")
      set(source ${VANTO_CHECKS_WORK}/headers/${id}.c)
      set(compiler ${CMAKE_C_COMPILER} -std=c11)
    else()
      set(source ${VANTO_CHECKS_WORK}/headers/${id}.cpp)
      set(compiler ${CMAKE_CXX_COMPILER} -std=c++17)
    endif()
    file(CONFIGURE OUTPUT ${source}
      CONTENT "#include <${header}>\n#include <${header}>\n\nint vanto_header_check_${id}(void);\nint vanto_header_check_${id}(void) { return 0; }\n")
    add_test(NAME header.${header}.${lang}
      COMMAND ${compiler} ${VANTO_HEADER_FLAGS} -c ${source} -o ${source}.o)
  endforeach()
endforeach()

# A C host ----------------------------------------------------------------------
add_executable(vanto_c_host ${CMAKE_CURRENT_SOURCE_DIR}/c_host/c_host.c)
target_link_libraries(vanto_c_host PRIVATE vanto_edit)
set_target_properties(vanto_c_host PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
# The packed version is the minor times 65536 plus the patch (major is 0).
math(EXPR VANTO_PACKED_VERSION "${PROJECT_VERSION_MINOR} * 65536 + ${PROJECT_VERSION_PATCH}")
file(MAKE_DIRECTORY ${VANTO_CHECKS_WORK}/c_host)
add_test(NAME c_host
  COMMAND vanto_c_host ${VANTO_CHECKS_WORK}/c_host ${VANTO_PACKED_VERSION})

# The example host ----------------------------------------------------------------
if(TARGET vanto-hexdump)
  # The sample is "vanto-edit sample\n" followed by the bytes 0 to 255.
  add_test(NAME example_hexdump
    COMMAND ${CMAKE_COMMAND}
      -DCOMMAND=$<TARGET_FILE:vanto-hexdump>
      "-DEXPECT=: 274 bytes, showing 256\n00000000  76 61 6e 74 6f 2d 65 64  69 74 20 73 61 6d 70 6c  [|]vanto-edit sampl[|]\n00000010  65 0a 00 01 02 03 04 05  06 07 08 09 0a 0b 0c 0d  [|]e...............[|]\n.*\n000000f0  de df e0 e1 e2 e3 e4 e5  e6 e7 e8 e9 ea eb ec ed  [|]................[|]\n$"
      -P ${VANTO_CHECKS_DIR}/run_and_match.cmake)
endif()

# Exported symbols ----------------------------------------------------------------
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(VANTO_CXXFILT NAMES c++filt REQUIRED)
add_test(NAME exports
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/exports.py check
    --include ${VANTO_INCLUDE_DIR}
    --library $<TARGET_FILE:vanto_edit>
    --nm ${CMAKE_NM}
    --cxxfilt ${VANTO_CXXFILT})

# Install and consume -------------------------------------------------------------
find_program(VANTO_PKG_CONFIG NAMES pkg-config REQUIRED)
set(VANTO_CONSUMER_FLAGS "")
if(VANTO_SANITIZE)
  # The installed library is instrumented; its consumers must be too.
  set(VANTO_CONSUMER_FLAGS "-fsanitize=address,undefined")
endif()
add_test(NAME install_consumer
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DCONFIG=$<CONFIG>
    -DWORK_DIR=${VANTO_CHECKS_WORK}/consumer
    -DCONSUMER_SOURCE=${VANTO_CHECKS_DIR}/consumer
    -DEXPECTED_VERSION=${PROJECT_VERSION}
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}
    -DGENERATOR=${CMAKE_GENERATOR}
    -DC_COMPILER=${CMAKE_C_COMPILER}
    -DPKG_CONFIG=${VANTO_PKG_CONFIG}
    -DEXTRA_FLAGS=${VANTO_CONSUMER_FLAGS}
    -P ${VANTO_CHECKS_DIR}/install_consumer.cmake)
set_tests_properties(install_consumer PROPERTIES TIMEOUT 300)
