# CPack runs this after each generator, before it copies the packages out:
# their sums join SHA256SUMS in the output folder, replacing older lines for
# the same names.
set(sums ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS)
set(lines)
if(EXISTS ${sums})
  file(STRINGS ${sums} lines)
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  list(FILTER lines EXCLUDE REGEX "  ${name}$")
  file(SHA256 ${package} sum)
  list(APPEND lines "${sum}  ${name}")
endforeach()
list(SORT lines COMPARE STRING)
list(JOIN lines "\n" text)
file(MAKE_DIRECTORY ${CPACK_OUTPUT_FILE_PREFIX})
file(WRITE ${sums} "${text}\n")
