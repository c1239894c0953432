# Run by CPack on the staged install before it packs the .deb: turns the plain
# `cmake --install` layout into what Debian asks of a package. Man pages are
# gzipped with -n (no name or time stamp, so the package builds the same each
# time) and the changelog and copyright file go beside the docs. Doing it here
# rather than in the install rules keeps the plain install's man pages readable
# as they are written.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(src ${CPACK_KIVRO_SOURCE_DIR})
if(NOT EXISTS ${root}/bin/kivroproxy)
  message(FATAL_ERROR "DebPackage: no staged install at ${root}")
endif()

# The package's version comes from the changelog's top entry in Debian's own
# tools; a changelog left behind would describe another version.
file(STRINGS ${src}/debian/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^kivroproxy \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with \"${top}\": add an entry for ${CPACK_PACKAGE_VERSION}")
endif()

function(gzip_to from to)
  execute_process(COMMAND gzip -9 -n -c ${from} OUTPUT_FILE ${to} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${from} failed")
  endif()
endfunction()

file(GLOB pages ${root}/share/man/man1/*.1)
foreach(page ${pages})
  gzip_to(${page} ${page}.gz)
  file(REMOVE ${page})
endforeach()
set(doc ${root}/share/doc/kivroproxy)
gzip_to(${src}/debian/changelog ${doc}/changelog.gz)
file(COPY_FILE ${src}/debian/copyright ${doc}/copyright)
