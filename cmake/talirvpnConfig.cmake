# find_package(talirvpn): the imported target talirvpn::talirvpn, the DLL
# with its import library (talirvpn.lib for MSVC, libtalirvpn.dll.a for
# mingw) and its include folder.
get_filename_component(_talirvpn_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET talirvpn::talirvpn)
  if(MSVC)
    set(_talirvpn_implib talirvpn.lib)
  else()
    set(_talirvpn_implib libtalirvpn.dll.a)
  endif()
  add_library(talirvpn::talirvpn SHARED IMPORTED)
  set_target_properties(talirvpn::talirvpn PROPERTIES
    IMPORTED_LOCATION "${_talirvpn_prefix}/bin/talirvpn.dll"
    IMPORTED_IMPLIB "${_talirvpn_prefix}/lib/${_talirvpn_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_talirvpn_prefix}/include")
  unset(_talirvpn_implib)
endif()
unset(_talirvpn_prefix)
