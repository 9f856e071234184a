# The public header states the version hosts compile against; it must be the
# project's, or KXVersion() and the package files would disagree with it.
file(READ ${CMAKE_SOURCE_DIR}/include/kelmix.h kx_header)
foreach(component MAJOR MINOR PATCH)
  if(NOT kx_header MATCHES "#define KELMIX_VERSION_${component} ([0-9]+)")
    message(FATAL_ERROR "include/kelmix.h: KELMIX_VERSION_${component} is missing")
  endif()
  if(NOT CMAKE_MATCH_1 EQUAL PROJECT_VERSION_${component})
    message(FATAL_ERROR "include/kelmix.h: KELMIX_VERSION_${component} is ${CMAKE_MATCH_1}, "
                        "the project's version is ${PROJECT_VERSION}")
  endif()
endforeach()
if(NOT kx_header MATCHES "#define KELMIX_VERSION_TEXT \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "include/kelmix.h: KELMIX_VERSION_TEXT is not \"${PROJECT_VERSION}\"")
endif()
