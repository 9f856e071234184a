# What a user downloads: `cmake --build --preset <p> --target package` writes
# into <build>/packages the Windows zip (win32, win64), or the Linux tarball
# and .deb, and a SHA256SUMS beside them.
set(KX_DOCS README.md LICENSE CHANGELOG.md)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KX_PACKAGE_SYSTEM win32)
    set(KX_PACKAGE_NOTE "This package holds the 32-bit x86 DLLs, for 32-bit hosts.")
    # kelmix.def is the DLLs' own export table; kelmix32.def makes an import
    # library with the stdcall names a 32-bit compiler refers to.
    install(FILES library/kelmix.def library/kelmix32.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  else()
    set(KX_PACKAGE_SYSTEM win64)
    set(KX_PACKAGE_NOTE "This package holds 64-bit (x86-64) DLLs, for 64-bit hosts.")
    install(FILES library/kelmix.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
  set(KX_DOC_DIR .)
  set(CPACK_GENERATOR ZIP)
  # Unpacked into an empty folder it gives bin/, include/, lib/ at once.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(KX_PACKAGE_SYSTEM Linux)
  set(KX_PACKAGE_NOTE "This package holds the Linux shared libraries, over the SQLite stand-in.")
  set(KX_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR TGZ DEB)
endif()

# The README goes out saying which build it describes.
file(READ ${CMAKE_SOURCE_DIR}/README.md kx_readme)
string(REGEX REPLACE "^(# kelmix\n)" "\\1\n**${KX_PACKAGE_NOTE}**\n" kx_readme "${kx_readme}")
file(WRITE ${CMAKE_BINARY_DIR}/package-docs/README.md "${kx_readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
install(FILES ${CMAKE_BINARY_DIR}/package-docs/README.md ${CMAKE_SOURCE_DIR}/LICENSE
    ${CMAKE_SOURCE_DIR}/CHANGELOG.md DESTINATION ${KX_DOC_DIR})

set(CPACK_PACKAGE_NAME kelmix)
set(CPACK_PACKAGE_VENDOR "the kelmix authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Named, typed variables that outlive the host process")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kelmix-${PROJECT_VERSION}-${KX_PACKAGE_SYSTEM})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 1)

# Installs to /usr (the generator's default); dependencies are read from the built binaries.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the kelmix authors")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_PACKAGE_DESCRIPTION
    "A host opens a store by name and sets and reads text, integer and double\n\
variables in it. kelmix2 takes UTF-16 text, kelmix_x64 UTF-8. Values live in\n\
an SQLite database standing in for the Windows registry. With the header,\n\
pkg-config and CMake files, and the kelmix command-line tool.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package-sums.cmake)
include(CPack)
