# Installs a build tree into a fresh prefix, checks what landed there, then
# builds and runs a small program against it twice: through find_package and
# through pkg-config. Both must print "vanto_edit <EXPECTED_VERSION> shared".
#
# Inputs: BUILD_DIR, CONFIG, WORK_DIR, CONSUMER_SOURCE, EXPECTED_VERSION,
# LIBDIR, INCLUDEDIR, GENERATOR, C_COMPILER, PKG_CONFIG, EXTRA_FLAGS (may be empty).

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_version what output)
  set(want "vanto_edit ${EXPECTED_VERSION} shared\n")
  if(NOT output STREQUAL want)
    message(FATAL_ERROR "${what} printed '${output}', expected '${want}'")
  endif()
  message(STATUS "${what}: ${output}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(ENV{DESTDIR} "")

# Install ----------------------------------------------------------------------
if(CONFIG)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
else()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()

string(REGEX MATCH "^[0-9]+\\.[0-9]+" soversion "${EXPECTED_VERSION}")
set(libdir ${prefix}/${LIBDIR})
foreach(file
    ${libdir}/libvanto_edit.so.${EXPECTED_VERSION}
    ${prefix}/${INCLUDEDIR}/vanto_edit.h
    ${prefix}/${INCLUDEDIR}/vanto_edit/export.h
    ${libdir}/cmake/vanto_edit/vanto_editConfig.cmake
    ${libdir}/cmake/vanto_edit/vanto_editConfigVersion.cmake
    ${libdir}/pkgconfig/vanto_edit.pc)
  if(NOT EXISTS ${file} OR IS_SYMLINK ${file})
    message(FATAL_ERROR "not installed as a file: ${file}")
  endif()
endforeach()
foreach(link_and_target
    "libvanto_edit.so.${soversion}=libvanto_edit.so.${EXPECTED_VERSION}"
    "libvanto_edit.so=libvanto_edit.so.${soversion}")
  string(REPLACE "=" ";" pair "${link_and_target}")
  list(GET pair 0 link)
  list(GET pair 1 target)
  file(READ_SYMLINK ${libdir}/${link} got)
  if(NOT got STREQUAL target)
    message(FATAL_ERROR "${libdir}/${link} points to '${got}', expected '${target}'")
  endif()
endforeach()

# Through find_package -----------------------------------------------------------
set(build ${WORK_DIR}/find_package)
run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${build} -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_COMPILER=${C_COMPILER}
  "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}"
  -DCMAKE_PREFIX_PATH=${prefix}
  -DEXPECTED_PREFIX=${prefix}
  -DEXPECTED_VERSION=${EXPECTED_VERSION})
run(${CMAKE_COMMAND} --build ${build})
run(${build}/consumer)
expect_version("find_package consumer" "${run_output}")

# Through pkg-config ---------------------------------------------------------------
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} ${libdir}/pkgconfig)
run(${PKG_CONFIG} --modversion vanto_edit)
string(STRIP "${run_output}" modversion)
if(NOT modversion STREQUAL EXPECTED_VERSION)
  message(FATAL_ERROR "pkg-config --modversion gives '${modversion}'")
endif()
run(${PKG_CONFIG} --cflags --libs vanto_edit)
string(STRIP "${run_output}" flags)
message(STATUS "pkg-config --cflags --libs vanto_edit: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(program ${WORK_DIR}/pkg_config_consumer)
run(${C_COMPILER} ${extra} ${CONSUMER_SOURCE}/main.c ${flags} -o ${program})
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${program})
expect_version("pkg-config consumer" "${run_output}")
