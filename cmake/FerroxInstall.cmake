# Where `cmake --install` puts the deliverables, relative to whatever prefix
# the install is given, and the rule every installed program follows. Each
# component installs its own files beside its targets.
set(CMAKE_INSTALL_DOCDIR share/doc/ferrox CACHE PATH "Documentation (DOCDIR)")
include(GNUInstallDirs)

# The public headers keep the names users' code includes (Ferrox.h,
# MEMAREA.h, TYPEDEFS.h, ...); names that generic get a folder of their own,
# which the CMake package and the pkg-config files put on the include path.
set(FERROX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ferrox)
set(FERROX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ferrox)
set(FERROX_INSTALL_JAVADIR ${CMAKE_INSTALL_DATAROOTDIR}/java)

# A program under bin/ finds the libraries of its own prefix through a
# relative rpath, so that the installed tree works wherever it is put and
# never reaches back into the build tree.
function(ferrox_install_program target)
  file(RELATIVE_PATH libdir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN/${libdir}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
