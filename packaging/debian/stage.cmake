# Run by cpack after the install into the package's tree, before the package
# is made: Debian's copyright and changelog files (changelog.gz: the package is
# native, its version is the project's), manual pages, changelog and
# guide compressed as Debian wants them (gzip -9n), and without the spool and
# quarantine directories, which the maintainer scripts create with their owners.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(doc "${root}/usr/share/doc/kerval-postfix")
file(REMOVE_RECURSE "${root}/var")
# (file(COPY_FILE), not file(INSTALL): DESTDIR is still set to the tree.)
file(COPY_FILE "${CPACK_KV_SOURCE_DIR}/packaging/debian/copyright" "${doc}/copyright")
file(COPY_FILE "${CPACK_KV_DEBIAN_DIR}/changelog" "${doc}/changelog")
file(GLOB_RECURSE pages "${root}/usr/share/man/*")
foreach(file IN LISTS pages ITEMS "${doc}/changelog" "${doc}/README.md")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
# The programs as Debian strips them: no debugging symbols, no .comment or
# .note sections (the install already stripped the symbols).
file(GLOB programs "${root}/usr/bin/*" "${root}/usr/sbin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_KV_STRIP}" --remove-section=.comment --remove-section=.note
                          --strip-unneeded "${program}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip ${program} failed")
  endif()
endforeach()
