# What a host application's developer gets (scripts/package.sh zips it):
# bin/ the DLL, its PDB and the CLI; include/ the header; lib/ the import
# libraries for MSVC and mingw and the CMake package.
include(CMakePackageConfigHelpers)

# The import libraries, made from the .def as the export table is. MSVC's
# link and GNU ld both read this (short import) format.
add_custom_command(OUTPUT talirvpn.lib
  COMMAND ${LLVM_DLLTOOL} -m i386:x86-64 -d ${PROJECT_SOURCE_DIR}/src/talirvpn.def -l talirvpn.lib
  DEPENDS src/talirvpn.def)
add_custom_target(talirvpn_import_library ALL DEPENDS talirvpn.lib)

write_basic_package_version_file(talirvpnConfigVersion.cmake COMPATIBILITY SameMajorVersion)
configure_file(cmake/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS talirvpn talirvpn-cli RUNTIME DESTINATION bin)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  install(FILES $<TARGET_FILE_DIR:talirvpn>/talirvpn.pdb DESTINATION bin)
endif()
install(FILES include/talirvpn.h ${PROJECT_BINARY_DIR}/include/talirvpn_version.h DESTINATION include)
install(FILES ${PROJECT_BINARY_DIR}/talirvpn.lib DESTINATION lib)
install(FILES ${PROJECT_BINARY_DIR}/talirvpn.lib DESTINATION lib RENAME libtalirvpn.dll.a)
install(FILES cmake/talirvpnConfig.cmake ${PROJECT_BINARY_DIR}/talirvpnConfigVersion.cmake
        DESTINATION lib/cmake/talirvpn)
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
