# Runs at install time (from cmake/install.cmake): writes the files that
# name installed paths, for the prefix `cmake --install` uses, and installs
# them. DESTDIR is honoured by file(INSTALL).
foreach(var BINDIR LIBDIR INCLUDEDIR DATADIR)
  if(IS_ABSOLUTE "${DIRIR2I_${var}}")
    set(DIRIR2I_FULL_${var} "${DIRIR2I_${var}}")
  else()
    set(DIRIR2I_FULL_${var} "${CMAKE_INSTALL_PREFIX}/${DIRIR2I_${var}}")
  endif()
endforeach()
set(DIRIR2I_PREFIX "${CMAKE_INSTALL_PREFIX}")

configure_file("${DIRIR2I_SOURCE_DIR}/cmake/dirir2i.pc.in" "${DIRIR2I_GEN_DIR}/dirir2i.pc" @ONLY)
configure_file("${DIRIR2I_SOURCE_DIR}/dist/dirir2i.service.in"
  "${DIRIR2I_GEN_DIR}/dirir2i.service" @ONLY)
file(INSTALL "${DIRIR2I_GEN_DIR}/dirir2i.pc" DESTINATION "${DIRIR2I_FULL_LIBDIR}/pkgconfig")
file(INSTALL "${DIRIR2I_GEN_DIR}/dirir2i.service" DESTINATION "${DIRIR2I_FULL_DATADIR}/dirir2i")
