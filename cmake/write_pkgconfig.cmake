# Writes vanto_edit.pc for the prefix being installed into. Run from an
# install(CODE) rule, where CMAKE_INSTALL_PREFIX is the install-time prefix.
# Inputs: VANTO_PC_VERSION, VANTO_PC_LIBDIR, VANTO_PC_INCLUDEDIR,
#         VANTO_PC_TEMPLATE, VANTO_PC_OUTPUT.
set(VANTO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")

foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${VANTO_PC_${kind}}")
    set(VANTO_PC_${kind}_FULL "${VANTO_PC_${kind}}")
  else()
    set(VANTO_PC_${kind}_FULL "\${prefix}/${VANTO_PC_${kind}}")
  endif()
endforeach()

configure_file("${VANTO_PC_TEMPLATE}" "${VANTO_PC_OUTPUT}" @ONLY)
