# Packs a static build's install, everything under usr/, into one tarball
# to unpack over a board's root.  Any build of the same sources gives the
# same bytes, as the Debian package does: entries in name order, owned by
# root, without the umask's write bits, dated as dpkg-buildpackage dates the
# package's (SOURCE_DATE_EPOCH, or else the latest changelog entry's date),
# and no time in the gzip header.
# cmake -DBUILD_DIR=<dir> -DTARBALL=<file> -DCHANGELOG=<debian/changelog> -P Tarball.cmake
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(date @$ENV{SOURCE_DATE_EPOCH})
else()
  file(STRINGS ${CHANGELOG} trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
  if(date STREQUAL "")
    message(FATAL_ERROR "no entry's date in ${CHANGELOG}")
  endif()
endif()

set(root ${BUILD_DIR}/CMakeFiles/package-root)
file(REMOVE_RECURSE ${root})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr --strip
                OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot install ${BUILD_DIR} for packing")
endif()
execute_process(COMMAND tar -C ${root} -c --sort=name --format=gnu --owner=0 --group=0
                        --numeric-owner --mode=go-w --mtime=${date} usr
                COMMAND gzip -9 -n
                OUTPUT_FILE ${BUILD_DIR}/${TARBALL} RESULTS_VARIABLE rc)
if(NOT rc STREQUAL "0;0")
  file(REMOVE ${BUILD_DIR}/${TARBALL})
  message(FATAL_ERROR "cannot pack ${TARBALL} (tar, gzip: ${rc})")
endif()
message(STATUS "${TARBALL}: dated ${date}")
