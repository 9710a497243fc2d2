# qel_pkg_module(<prefix> <module> <header>): the imported target PkgConfig::<prefix> of a pkg-config
# module, as pkg_check_modules(<prefix> REQUIRED IMPORTED_TARGET <module>) makes it.
#
# Two development packages of Debian cannot be installed for a second architecture beside the build
# machine's: libwebsockets-dev (its lws_config.h differs between architectures only in the text of the
# library folder, which the library's users never read) and liburiparser-dev (not multiarch). A cross build
# then finds no .pc file for the target. It takes the build machine's headers, which hold nothing that
# depends on the architecture, and links the target's shared library by its file name (lib<name>.so.N,
# from the runtime package, e.g. libwebsockets17:armhf).
function(qel_pkg_module prefix module header)
  pkg_check_modules(${prefix} IMPORTED_TARGET ${module})
  if(${prefix}_FOUND)
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "${module} not found: install its development package (scripts/install-deps.sh)")
  endif()
  find_path(${prefix}_HEADER_DIR ${header} PATHS /usr/include NO_DEFAULT_PATH)
  file(GLOB shared "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/${module}.so.[0-9]*")
  list(SORT shared) # lib<name>.so.N before lib<name>.so.N.M.K
  list(LENGTH shared count)
  if(NOT ${prefix}_HEADER_DIR OR count EQUAL 0)
    message(FATAL_ERROR "${module}: neither a .pc file for ${CMAKE_LIBRARY_ARCHITECTURE} nor the build "
                        "machine's ${header} and /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/${module}.so.N")
  endif()
  list(GET shared 0 library)
  add_library(PkgConfig::${prefix} SHARED IMPORTED GLOBAL)
  set_target_properties(PkgConfig::${prefix} PROPERTIES IMPORTED_LOCATION "${library}"
                        INTERFACE_INCLUDE_DIRECTORIES "${${prefix}_HEADER_DIR}")
  message(STATUS "${module}: headers of the build machine, library ${library}")
endfunction()
